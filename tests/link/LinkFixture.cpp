#include "LinkFixture.h"

#include <algorithm>

namespace linktest {

Bytes FrameWithBadCheckByte(int preambles, const Bytes& body)
{
    Bytes frame = Frame(preambles, body);
    frame.back() ^= 0x5A;
    return frame;
}

Bytes ShortStx(UCHAR address, UCHAR command) { return sim::FrameBody(0x02, {address}, command); }
Bytes ShortAck(UCHAR address, UCHAR command, const Bytes& data) { return sim::FrameBody(0x06, {address}, command, data); }
Bytes LongAck(const Bytes& address5, UCHAR command, const Bytes& data) { return sim::FrameBody(0x86, address5, command, data); }
Bytes LongBack(const Bytes& address5, UCHAR command, const Bytes& data) { return sim::FrameBody(0x81, address5, command, data); }

void LinkFixture::SetUp()
{
    debug_ = std::make_unique<platform::DebugCapture>(host_);
    HartSetDebugLevel(0);
    harness_ = std::make_unique<sim::LinkHarness>(host_);
    driver_ = harness_->Driver();
    device_ = harness_->Device();
    context_ = harness_->Context();
}

void LinkFixture::TearDown()
{
    harness_.reset();
    EXPECT_EQ(host_.LiveObjects(), 0u) << "objects left after unload";
    HartSetDebugLevel(1);
}

void LinkFixture::ReachBusFree()
{
    StartLinkTimer();
    Tick(context_->QuietTime + 3);
    ASSERT_EQ(State(), "STATE_BUS_FREE");
}

int LinkFixture::CountTrace(const std::string& text) const
{
    auto lines = debug_->Lines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

} // namespace linktest
