/*
 * The client's side of one I/O request: what it handed to the driver and,
 * once the driver has completed the request, what came back. It outlives the
 * WDFREQUEST, which the framework deletes at completion.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include <wdf.h>

namespace platform {

class RequestObject;

class ClientRequest {
public:
    WDF_REQUEST_TYPE Type() const { return type_; }
    ULONG IoControlCode() const { return ioControlCode_; }
    /* The handle the driver works with; nullptr once completed. */
    WDFREQUEST Handle() const { return handle_; }

    bool Completed() const { return completions_ != 0; }
    /* STATUS_PENDING until completed. */
    NTSTATUS Status() const { return status_; }
    ULONG_PTR Information() const { return information_; }
    /* Valid completions; a second completion is a driver fault and not counted. */
    unsigned Completions() const { return completions_; }

    const std::vector<std::uint8_t>& Input() const { return input_; }
    /* The output buffer as the driver left it (reads, device control). */
    const std::vector<std::uint8_t>& Output() const { return output_; }

    /* Runs on the dispatcher when the driver completes the request. */
    void OnCompleted(std::function<void(const ClientRequest&)> callback) { onCompleted_ = std::move(callback); }

private:
    friend class RequestObject;

    WDF_REQUEST_TYPE type_ = WdfRequestTypeNoFormat;
    ULONG ioControlCode_ = 0;
    WDFREQUEST handle_ = nullptr;
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    unsigned completions_ = 0;
    std::vector<std::uint8_t> input_;
    std::vector<std::uint8_t> output_;
    std::function<void(const ClientRequest&)> onCompleted_;
};

} // namespace platform
