/*
 * Driver faults that the host detects (a request completed twice, a stale
 * handle, a wait that can never end...). By default a fault is printed to
 * stderr and the process aborts, since the driver cannot go on correctly;
 * tests install a handler to assert on the message instead. After a handler
 * returns, the faulting call does nothing and returns a failure.
 */
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Host;

using VerifierHandler = std::function<void(std::string_view message)>;

class VerifierCapture {
public:
    explicit VerifierCapture(Host& host);
    ~VerifierCapture();
    VerifierCapture(const VerifierCapture&) = delete;
    VerifierCapture& operator=(const VerifierCapture&) = delete;

    const std::vector<std::string>& Messages() const { return messages_; }

private:
    Host& host_;
    VerifierHandler previous_;
    std::vector<std::string> messages_;
};

} // namespace platform
