/*
 * A port record driven through the link engine's real entry points on the
 * virtual clock, with the debug output captured. The harness plays the parts
 * around the engine; a test completes serial writes and feeds characters.
 */
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <platform/Host.h>

#include "link/HartLink.h"
#include "link/HartTrace.h"
#include "sim/LinkHarness.h"

namespace linktest {

using sim::Bytes;
using sim::Frame;

/* The same frame with a check byte that does not match. */
Bytes FrameWithBadCheckByte(int preambles, const Bytes& body);
Bytes ShortStx(UCHAR address, UCHAR command);
Bytes ShortAck(UCHAR address, UCHAR command, const Bytes& data = {});
Bytes LongAck(const Bytes& address5, UCHAR command, const Bytes& data = {});
Bytes LongBack(const Bytes& address5, UCHAR command, const Bytes& data = {});

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    UCHAR Receive(const Bytes& characters, NTSTATUS status = STATUS_SUCCESS)
    {
        return harness_->Receive(characters, status);
    }
    void Post(UCHAR event) { harness_->Post(event); }
    void StartLinkTimer() { harness_->StartLinkTimer(); }
    void Tick(int ticks) { harness_->Tick(ticks); }
    /* Gets the master from start-up to STATE_BUS_FREE through the quiet time. */
    void ReachBusFree();
    std::shared_ptr<platform::ClientRequest> ClientWrite(const Bytes& frame) { return harness_->ClientWrite(frame); }
    void SerialWriteCompletes(NTSTATUS status, ULONG_PTR bytesWritten)
    {
        harness_->SerialWriteCompletes(status, bytesWritten);
    }

    std::string State() const { return harness_->State(); }
    Bytes PendingEvents() const { return harness_->PendingEvents(); }
    Bytes ReadableFrame() const { return harness_->ReadableFrame(); }
    const std::vector<Bytes>& SerialWrites() const { return harness_->SerialWrites(); }
    int CountTrace(const std::string& text) const;

    platform::Host host_;
    std::unique_ptr<platform::DebugCapture> debug_;
    std::unique_ptr<sim::LinkHarness> harness_;
    WDFDRIVER driver_ = nullptr;
    WDFDEVICE device_ = nullptr;
    PHARTDEVICE_CONTEXT context_ = nullptr;
};

} // namespace linktest
