/*
 * One port record wired up on the host the way the port device will be: the
 * driver record with its timing set, a port device with its record, work
 * items and link timer, and a scripted serial side. The serial side records
 * each frame the write work item was asked to send; whoever drives the
 * harness (a test, the demo, a benchmark) completes the serial write and
 * feeds the received characters, on the host's clock.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <platform/Host.h>

#include "link/HartLink.h"

namespace sim {

using Bytes = std::vector<std::uint8_t>;

/* A frame as it goes on the line: preambles, then body and its check byte. */
Bytes Frame(int preambles, const Bytes& body);
/* A frame body: delimiter, address, command, byte count, data. */
Bytes FrameBody(UCHAR delimiter, const Bytes& address, UCHAR command, const Bytes& data = {});

/* A link timer tick, in the host's 100 ns units. */
inline constexpr platform::Ticks kLinkTick{100000};

class LinkHarness {
public:
    /* Creates the driver and one port device on host; the link starts up. */
    explicit LinkHarness(platform::Host& host);
    ~LinkHarness();
    LinkHarness(const LinkHarness&) = delete;
    LinkHarness& operator=(const LinkHarness&) = delete;

    WDFDRIVER Driver() const { return driver_; }
    WDFDEVICE Device() const { return device_; }
    PHARTDEVICE_CONTEXT Context() const { return context_; }

    /* Characters from the serial read loop, each with the read's status. */
    UCHAR Receive(const Bytes& characters, NTSTATUS status = STATUS_SUCCESS);
    void Post(UCHAR event);
    void StartLinkTimer();
    /* Runs the host's clock for this many link timer ticks. */
    void Tick(int ticks);

    /* A client write of frame becomes the pending write and is requested. */
    std::shared_ptr<platform::ClientRequest> ClientWrite(const Bytes& frame);
    /* The serial driver finishes the write the master started. */
    void SerialWriteCompletes(NTSTATUS status, ULONG_PTR bytesWritten, bool withinThirtyMs = true);
    /* Called on the dispatcher with each frame the master sends. */
    void OnSerialWrite(std::function<void(const Bytes&)> callback) { onSerialWrite_ = std::move(callback); }

    std::string State() const;
    Bytes PendingEvents() const;
    Bytes ReadableFrame() const;
    const std::vector<Bytes>& SerialWrites() const { return serialWrites_; }

private:
    static VOID HartEvtRecordSerialWrite(WDFWORKITEM workItem);
    void CreateDriver();
    void CreatePortDevice();
    WDFWORKITEM CreateWorkItem(PFN_WDF_WORKITEM callback);
    void RunPostedWork();

    platform::Host& host_;
    WDFDRIVER driver_ = nullptr;
    WDFDEVICE device_ = nullptr;
    PHARTDEVICE_CONTEXT context_ = nullptr;
    std::vector<Bytes> serialWrites_;
    std::function<void(const Bytes&)> onSerialWrite_;
};

} // namespace sim
