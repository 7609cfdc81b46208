/*
 * The lower driver interface: what a device below the driver (a serial
 * port's driver; a loopback device in tests) implements so that the driver
 * can open it by name as an I/O target and send it requests.
 *
 * Everything here runs on the host's dispatcher thread: the host calls the
 * device there, and the device completes requests there (at once, inside
 * StartIo, or later from a task or timer of its own).
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <ntddk.h>

namespace platform {

class HostCore;
class LowerDeviceEntry;

enum class IoMajor : std::uint8_t {
    Read,
    Write,
    DeviceControl,
    InternalDeviceControl,
};

/*
 * One request at a lower device. The buffers belong to the request, so the
 * device may keep it as long as it likes; the sender's memory is filled from
 * Output() when the request completes. Complete exactly once.
 */
class LowerRequest {
public:
    IoMajor Major() const { return major_; }
    ULONG IoControlCode() const { return ioControlCode_; }
    /* What a write carries, or a control request's input. */
    std::span<const std::uint8_t> Input() const { return input_; }
    /* Where a read or a control request puts its answer; its size is the length asked for. */
    std::span<std::uint8_t> Output() { return output_; }
    /* A read's length or a write's. */
    std::size_t Length() const { return major_ == IoMajor::Write ? input_.size() : output_.size(); }

    /* The sender asked for the request to end (the device then completes it, usually with STATUS_CANCELLED). */
    bool CancelRequested() const { return cancelRequested_; }
    bool Completed() const { return completed_; }

    /* Information is the number of bytes read, written or returned. Runs the
       sender's completion before it returns. A second completion is a fault. */
    void Complete(NTSTATUS status, ULONG_PTR information = 0);

private:
    friend class LowerDeviceEntry;
    friend struct LowerRequestAccess;

    HostCore* core_ = nullptr;
    IoMajor major_ = IoMajor::Read;
    ULONG ioControlCode_ = 0;
    std::vector<std::uint8_t> input_;
    std::vector<std::uint8_t> output_;
    bool cancelRequested_ = false;
    bool completed_ = false;
    std::weak_ptr<LowerDeviceEntry> device_;
    std::function<void(LowerRequest&, NTSTATUS, ULONG_PTR)> onCompleted_;
};

using LowerRequestPtr = std::shared_ptr<LowerRequest>;

/* What the opener asked for (the fields of the framework's open parameters). */
struct LowerOpenParameters {
    ACCESS_MASK desiredAccess = 0;
    ULONG shareAccess = 0;
    ULONG createDisposition = FILE_OPEN;
    ULONG createOptions = 0;
};

class LowerDevice {
public:
    LowerDevice() = default;
    virtual ~LowerDevice();
    LowerDevice(const LowerDevice&) = delete;
    LowerDevice& operator=(const LowerDevice&) = delete;

    /* An opener arrives. Sharing is checked before (an open with ShareAccess
       0 excludes every other). A failure status refuses the open. */
    virtual NTSTATUS Open(const LowerOpenParameters& parameters);
    /* The opener has gone; whatever it sent has completed by now. */
    virtual void Close();
    /* A request to handle: complete it now or keep it and complete it later. */
    virtual void StartIo(const LowerRequestPtr& request) = 0;
    /* The sender wants a request that the device holds to end. The device
       should complete it soon; the host waits for that in target stops and
       closes. The default completes it at once with STATUS_CANCELLED. */
    virtual void Cancel(const LowerRequestPtr& request);

    /* ---- For the device's own use ---- */

    /* The device went away (a surprise removal): its name leaves the
       namespace, new opens and requests fail, and every opener's
       remove-complete callback runs once, on the dispatcher. */
    void ReportRemoved();
    bool Registered() const;
    bool Removed() const;
    /* Openers right now. */
    std::size_t OpenCount() const;
    /* The name it was registered under. */
    std::u16string Name() const;

private:
    friend class LowerDeviceEntry;
    std::weak_ptr<LowerDeviceEntry> entry_;
};

} // namespace platform
