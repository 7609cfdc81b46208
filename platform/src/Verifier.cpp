#include <platform/Verifier.h>

#include <platform/Host.h>

namespace platform {

VerifierCapture::VerifierCapture(Host& host) : host_(host)
{
    previous_ = host_.SetVerifierHandler([this](std::string_view message) { messages_.emplace_back(message); });
}

VerifierCapture::~VerifierCapture()
{
    host_.SetVerifierHandler(std::move(previous_));
}

} // namespace platform
