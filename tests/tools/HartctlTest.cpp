/* hartctl run in-process: what it prints and its exit status. */
#include <gtest/gtest.h>

#include <sstream>

#include "Commands.h"
#include "Protocol.h"
#include "PtyLine.h"

namespace {

using hartctl::Bytes;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome Hartctl(const std::vector<std::string>& args)
{
    std::ostringstream out;
    std::ostringstream err;
    int status = hartctl::Run(args, out, err);
    return {status, out.str(), err.str()};
}

TEST(HartctlFrameTest, RequestsCarryAddressCountAndCheckByte)
{
    hartctl::Request request;
    request.address.polling = 5;
    request.command = 1;
    EXPECT_EQ(hartctl::BuildRequest(request), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x85, 0x01, 0x00, 0x86}));

    request.address.isLong = true;
    request.address.id = {0xE6, 0x06, 0x10, 0x00, 0x01}; /* master and burst bits are not the caller's to set */
    request.primaryMaster = false;
    request.data = {0xAA};
    request.preambles = 2;
    Bytes frame = hartctl::BuildRequest(request);
    EXPECT_EQ(frame, (Bytes{0xFF, 0xFF, 0x82, 0x26, 0x06, 0x10, 0x00, 0x01, 0x01, 0x01, 0xAA, 0x19}));

    auto parsed = hartctl::ParseFrame(frame);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->checkByteOk);
    EXPECT_EQ(parsed->Kind(), hartctl::FrameKind::Stx);
    EXPECT_EQ(parsed->AddressText(), "26 06 10 00 01");
    EXPECT_EQ(parsed->data, Bytes{0xAA});
    frame.back() ^= 1;
    EXPECT_FALSE(hartctl::ParseFrame(frame)->checkByteOk);
    frame.resize(frame.size() - 2);
    std::string why;
    EXPECT_FALSE(hartctl::ParseFrame(frame, &why));
    EXPECT_EQ(why, "the data are cut short");
}

TEST(HartctlFrameTest, AnswersAreTold)
{
    EXPECT_EQ(hartctl::ResponseText(0), "success");
    EXPECT_EQ(hartctl::ResponseText(64), "command not implemented");
    EXPECT_EQ(hartctl::ResponseText(0x88), "communication error: longitudinal parity error");
    EXPECT_EQ(hartctl::DeviceStatusText(0x50),
              (std::vector<std::string>{"configuration changed", "more status available"}));
    EXPECT_EQ(hartctl::ParseHex("0x02,80 ff"), (Bytes{0x02, 0x80, 0xFF}));
    EXPECT_FALSE(hartctl::ParseHex("0 2"));
    EXPECT_FALSE(hartctl::ParseHex("abc"));
}

TEST(HartctlTest, BadArgumentsSayWhatIsWrong)
{
    Outcome unknown = Hartctl({"sned"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown command 'sned'"), std::string::npos) << unknown.err;

    Outcome option = Hartctl({"--tty=/dev/null", "--bogus"});
    EXPECT_EQ(option.status, 2);
    EXPECT_NE(option.err.find("unknown option '--bogus'"), std::string::npos) << option.err;
    EXPECT_EQ(option.err.find("'--tty=/dev/null'"), std::string::npos) << option.err;
    Outcome bare = Hartctl({"--sim", "-p", "COM1"});
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.err.find("unknown option"), std::string::npos) << bare.err;
    EXPECT_NE(bare.err.find("no command given"), std::string::npos) << bare.err;

    Outcome range = Hartctl({"--sim", "send", "300"});
    EXPECT_EQ(range.status, 2);
    EXPECT_NE(range.err.find("300"), std::string::npos) << range.err;

    Outcome hex = Hartctl({"--sim", "send", "0", "zz"});
    EXPECT_EQ(hex.status, 2);
    EXPECT_NE(hex.err.find("hex"), std::string::npos);

    EXPECT_EQ(Hartctl({"--sim", "--tty", "/dev/null", "ports"}).status, 2);

    Outcome help = Hartctl({"identify", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--last"), std::string::npos) << help.out;
}

TEST(HartctlTest, SendOnTheSimulatedLineDecodesTheAnswer)
{
    Outcome sent = Hartctl({"send", "--sim", "0"});
    ASSERT_EQ(sent.status, 0) << sent.err;
    EXPECT_NE(sent.out.find("request  FF FF FF FF FF 02 80 00 00 82"), std::string::npos) << sent.out;
    EXPECT_NE(sent.out.find("answer   06 80 00 0E 00 00 FE"), std::string::npos) << sent.out;
    EXPECT_NE(sent.out.find("command 0: success, device ok"), std::string::npos) << sent.out;

    Outcome silent = Hartctl({"--sim", "send", "0", "--address", "7"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.err.find("no answer from the device after 3 attempts (STATUS_TRANSACTION_TIMED_OUT)"),
              std::string::npos)
        << silent.err;

    Outcome refused = Hartctl({"--sim", "--json", "send", "99"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.out.find("\"response\": \"command not implemented\""), std::string::npos) << refused.out;
}

TEST(HartctlTest, IdentifyAndMonitorOnTheSimulatedLine)
{
    Outcome found = Hartctl({"--sim", "--sim-devices", "2", "identify", "--last", "3"});
    ASSERT_EQ(found.status, 0) << found.err;
    EXPECT_NE(found.out.find("   1  0x26   0x06  0x100001   26 06 10 00 01    5  TT-101"), std::string::npos)
        << found.out;

    Outcome watched = Hartctl({"--sim", "monitor", "--count", "2"});
    ASSERT_EQ(watched.status, 0) << watched.err;
    EXPECT_NE(watched.out.find("STX other master"), std::string::npos) << watched.out;
    EXPECT_NE(watched.out.find("ACK other master"), std::string::npos) << watched.out;
}

TEST(HartctlTest, SendThroughATerminal)
{
    tools::PtyLine line(1);
    Outcome sent = Hartctl({"--tty", line.Path(), "send", "1"});
    ASSERT_EQ(sent.status, 0) << sent.err;
    EXPECT_NE(sent.out.find("primary variable 12.5 degC"), std::string::npos) << sent.out;

    Outcome missing = Hartctl({"--tty", "/dev/hart-no-such-tty", "send", "0"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("does not exist (STATUS_NO_SUCH_DEVICE)"), std::string::npos) << missing.err;
}

} // namespace
