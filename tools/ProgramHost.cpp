#include "ProgramHost.h"

#include <exception>

namespace tools {

ProgramHost::ProgramHost(const std::string& regFile, std::optional<sim::SystemOptions> simulated)
{
    std::string registry;
    if (!regFile.empty()) {
        if (platform::RegLoadResult read = platform::Registry::ReadFile(regFile, registry); !read) {
            failure_ = read.message;
            return;
        }
    }
    try {
        if (simulated) {
            simulated->registry = registry;
            system_ = std::make_unique<sim::SimulatedSystem>(*simulated);
            host_ = &system_->Host();
            return;
        }
        ownHost_ = std::make_unique<platform::Host>(platform::Clock::Real);
        if (!registry.empty()) {
            if (auto loaded = ownHost_->GetRegistry().LoadText(registry, regFile); !loaded) {
                failure_ = loaded.message;
                return;
            }
        }
        host_ = ownHost_.get();
    } catch (const std::exception& e) {
        failure_ = e.what();
    }
}

} // namespace tools
