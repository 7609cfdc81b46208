#include "ScenarioFixture.h"

#include <platform/Debug.h>

#include "link/HartLink.h"
#include "link/HartTrace.h"

namespace scenario {


sim::SystemOptions Line(int serialPorts, int fieldDevices, bool burstDevice, bool scriptedSecondMaster)
{
    sim::SystemOptions options;
    /* The pollers and scripted requests are short frames, which revision-5 devices answer for every command. */
    options.universalRevision = 5;
    options.serialPorts = serialPorts;
    options.fieldDevices = fieldDevices;
    options.burstDevice = burstDevice;
    options.scriptedSecondMaster = scriptedSecondMaster;
    return options;
}


void ScenarioFixture::Boot(const sim::SystemOptions& options)
{
    system_ = std::make_unique<sim::SimulatedSystem>(options);
    /* The link traces nothing at its default level; keep the sink quiet anyway. */
    debug_ = std::make_unique<platform::DebugCapture>(system_->Host());
    ASSERT_TRUE(NT_SUCCESS(system_->Load()));
    auto main = system_->OpenMain();
    ASSERT_TRUE(NT_SUCCESS(main.status));
    main_ = std::move(main.file);
}

void ScenarioFixture::TearDown()
{
    if (!system_) {
        return;
    }
    for (auto& poller : pollers_) {
        poller->Close();
    }
    pollers_.clear();
    main_.Close();
    system_->Unload();
    EXPECT_EQ(system_->Host().LiveObjects(), 0u) << "objects left after unload";
    debug_.reset();
    system_.reset();
}

platform::File ScenarioFixture::OpenMaster(const std::string& suffix, bool primary, std::uint8_t retryCount)
{
    auto opened = system_->OpenMaster(suffix, primary, retryCount);
    EXPECT_EQ(opened.status, STATUS_SUCCESS) << std::hex << opened.status;
    return std::move(opened.file);
}

Poller& ScenarioFixture::AddPoller(const std::string& suffix, bool primary, std::vector<Poller::Target> targets)
{
    std::string name = primary ? "primary COM" : "secondary COM";
    name += suffix;
    pollers_.push_back(std::make_unique<Poller>(name, OpenMaster(suffix, primary), primary, std::move(targets)));
    return *pollers_.back();
}

void ScenarioFixture::RunPollers(Ticks duration)
{
    std::vector<Poller*> pollers;
    for (auto& poller : pollers_) {
        pollers.push_back(poller.get());
    }
    sim::RunPollers(system_->Host(), pollers, duration);
}

void ScenarioFixture::DrainPollers()
{
    for (auto& poller : pollers_) {
        poller->Stop();
    }
    platform::Host& host = system_->Host();
    const Ticks limit = host.Now() + Ticks(30s);
    while (host.Now() < limit) {
        bool idle = true;
        for (auto& poller : pollers_) {
            poller->Step();
            idle = idle && poller->Idle();
        }
        if (idle) {
            return;
        }
        host.RunFor(Ticks(10ms));
    }
    ADD_FAILURE() << "a write never completed";
}

void ScenarioFixture::ExpectCleanCompletions() const
{
    for (const auto& poller : pollers_) {
        EXPECT_EQ(poller->BadCompletions(), 0u) << poller->Name();
        EXPECT_EQ(poller->Mismatches(), 0u) << poller->Name();
        EXPECT_EQ(poller->Succeeded() + poller->TimedOut() + poller->OtherFailures() + (poller->Idle() ? 0 : 1),
                  poller->Writes())
            << poller->Name() << ": every write completes";
    }
}

void ScenarioFixture::RunWithoutAFault(Ticks duration)
{
    RunPollers(duration);
    DrainPollers();
    ExpectCleanCompletions();
    EXPECT_EQ(system_->Line().Collisions(), 0u);
    for (const auto& poller : pollers_) {
        EXPECT_EQ(poller->TimedOut(), 0u) << poller->Name();
    }
}

} // namespace scenario
