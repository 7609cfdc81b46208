/* The HART-IP codec: what the server answers to each kind of bad input, frames it refuses, and TCP framing. */
#include <gtest/gtest.h>

#include "HartIp.h"
#include "sim/HartFrame.h"

namespace {

using hartip::Bytes;
using hartip::Verdict;

Bytes Message(std::uint8_t version, std::uint8_t type, std::uint8_t id, std::uint16_t count, std::size_t bodyBytes = 0)
{
    Bytes bytes{version, type, id, 0, 0x12, 0x34, static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)};
    bytes.resize(bytes.size() + bodyBytes, 0xAA);
    return bytes;
}

Bytes WithCheckByte(Bytes frame)
{
    frame.push_back(sim::CheckByte(frame));
    return frame;
}

TEST(HartIpCodecTest, BuiltMessagesReadBackWithTheirCountAndSequence)
{
    const Bytes body{1, 2, 3};
    const Bytes message = hartip::BuildMessage(hartip::kResponse, hartip::kTokenPassingPdu, 8, 0xBEEF, body);
    ASSERT_EQ(message.size(), 11u);
    const hartip::Header header = *hartip::ReadHeader(message);
    EXPECT_EQ(header.version, 1);
    EXPECT_EQ(header.type, hartip::kResponse);
    EXPECT_EQ(header.id, hartip::kTokenPassingPdu);
    EXPECT_EQ(header.status, 8);
    EXPECT_EQ(header.sequence, 0xBEEF);
    EXPECT_EQ(header.byteCount, 11);
    EXPECT_FALSE(hartip::ReadHeader(std::span<const std::uint8_t>(message).first(7)));

    const hartip::InitiateBody initiate{0, 0x01020304};
    EXPECT_EQ(hartip::InitiateBodyBytes(initiate), (Bytes{0, 1, 2, 3, 4}));
    const auto read = hartip::ReadInitiate(hartip::InitiateBodyBytes(initiate));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->masterType, 0);
    EXPECT_EQ(read->inactivityMs, 0x01020304u);
    EXPECT_FALSE(hartip::ReadInitiate(Bytes{1, 0, 0, 0}));
}

TEST(HartIpCodecTest, EveryBadHeaderGetsItsAnswerOrNone)
{
    struct Case {
        const char* what;
        Bytes message;
        Verdict::Action action;
        std::uint8_t type;
        std::uint8_t status;
    };
    const std::vector<Case> cases = {
        {"too short to echo anything", Bytes{1, 0, 2}, Verdict::Action::Drop, 0, 0},
        {"a response is never answered", Message(1, hartip::kResponse, 2, 8), Verdict::Action::Drop, 0, 0},
        {"nor a NAK", Message(1, hartip::kNak, 2, 8), Verdict::Action::Drop, 0, 0},
        {"nor a publish", Message(1, hartip::kPublish, 3, 8), Verdict::Action::Drop, 0, 0},
        {"version 2", Message(2, 0, 2, 8), Verdict::Action::Reply, hartip::kNak, 14},
        {"version 0", Message(0, 0, 2, 8), Verdict::Action::Reply, hartip::kNak, 14},
        {"unknown type", Message(1, 7, 2, 8), Verdict::Action::Reply, hartip::kNak, 2},
        {"count below a header", Message(1, 0, 2, 7), Verdict::Action::Reply, hartip::kNak, 5},
        {"count above the largest", Message(1, 0, 3, 276, 268), Verdict::Action::Reply, hartip::kNak, 3},
        {"count beyond the datagram", Message(1, 0, 3, 20, 4), Verdict::Action::Reply, hartip::kNak, 5},
        {"datagram beyond the count", Message(1, 0, 2, 8, 1), Verdict::Action::Reply, hartip::kNak, 3},
        {"direct PDU", Message(1, 0, hartip::kDirectPdu, 8), Verdict::Action::Reply, hartip::kNak, 64},
        {"audit log", Message(1, 0, hartip::kReadAuditLog, 8), Verdict::Action::Reply, hartip::kNak, 64},
        {"unknown ID", Message(1, 0, 99, 8), Verdict::Action::Reply, hartip::kNak, 2},
        {"keep-alive", Message(1, 0, hartip::kKeepAlive, 8), Verdict::Action::Serve, 0, 0},
        {"largest token-passing PDU", Message(1, 0, 3, 275, 267), Verdict::Action::Serve, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Verdict verdict = hartip::Inspect(c.message);
        EXPECT_EQ(verdict.action, c.action);
        if (c.action == Verdict::Action::Reply) {
            EXPECT_EQ(verdict.replyType, c.type);
            EXPECT_EQ(verdict.replyStatus, c.status);
            EXPECT_EQ(verdict.header.sequence, 0x1234) << "the answer echoes the sequence number";
        }
    }
}

TEST(HartIpCodecTest, OnlyWholeWellFormedRequestFramesPass)
{
    const Bytes shortFrame = WithCheckByte({0x02, 0x80, 0x00, 0x00});
    const Bytes longFrame = WithCheckByte({0x82, 0xA6, 0x06, 0x10, 0x00, 0x01, 0x01, 0x02, 0xAA, 0xBB});
    const Bytes expanded = WithCheckByte({0xA2, 0xA6, 0x06, 0x10, 0x00, 0x01, 0x55, 0x01, 0x00});
    EXPECT_TRUE(hartip::CheckRequestFrame(shortFrame).valid);
    EXPECT_TRUE(hartip::CheckRequestFrame(longFrame).valid);
    EXPECT_TRUE(hartip::CheckRequestFrame(expanded).valid);
    /* Preambles, as some clients send them, are dropped; preambles alone are no frame. */
    Bytes preambled(3, 0xFF);
    preambled.insert(preambled.end(), longFrame.begin(), longFrame.end());
    const auto dropped = hartip::WithoutPreambles(preambled);
    EXPECT_EQ(Bytes(dropped.begin(), dropped.end()), longFrame);
    EXPECT_EQ(hartip::CheckRequestFrame(hartip::WithoutPreambles(Bytes(5, 0xFF))).status, 5);

    Bytes badCheck = shortFrame;
    badCheck.back() ^= 0x01;
    Bytes trailing = shortFrame;
    trailing.push_back(0);
    const struct {
        const char* what;
        Bytes frame;
        std::uint8_t status;
    } refused[] = {
        {"empty", {}, 5},
        {"an answer frame", WithCheckByte({0x06, 0x80, 0x00, 0x00}), 2},
        {"a burst frame", WithCheckByte({0x01, 0x80, 0x00, 0x00}), 2},
        {"a synchronous physical layer", WithCheckByte({0x0A, 0x80, 0x00, 0x00}), 2},
        {"wrong check byte", badCheck, 2},
        {"bytes after the check byte", trailing, 2},
        {"header cut short", {0x82, 0x80, 0x00}, 5},
        {"data cut short", {0x02, 0x80, 0x00, 0x03, 0x01}, 5},
        {"check byte missing", {0x02, 0x80, 0x00, 0x00}, 5},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        const hartip::FrameCheck check = hartip::CheckRequestFrame(r.frame);
        EXPECT_FALSE(check.valid);
        EXPECT_EQ(check.status, r.status);
    }
}

TEST(HartIpCodecTest, TheMasterBitIsSetWithANewCheckByte)
{
    const Bytes primary = WithCheckByte({0x02, 0x85, 0x01, 0x00});
    const Bytes secondary = hartip::WithMasterBit(primary, false);
    EXPECT_EQ(secondary[1], 0x05);
    EXPECT_TRUE(hartip::CheckRequestFrame(secondary).valid);
    EXPECT_EQ(hartip::WithMasterBit(secondary, true), primary);
}

TEST(HartIpCodecTest, TheStreamIsCutByByteCountHoweverItArrives)
{
    const Bytes first = hartip::BuildMessage(0, hartip::kSessionInitiate, 0, 1, Bytes{1, 0, 0, 0xEA, 0x60});
    const Bytes second = hartip::BuildMessage(0, hartip::kKeepAlive, 0, 2);
    Bytes stream = first;
    stream.insert(stream.end(), second.begin(), second.end());

    /* One byte at a time: nothing until each message is whole. */
    hartip::StreamFramer framer;
    std::vector<Bytes> messages;
    Bytes message;
    hartip::Header header;
    for (std::uint8_t byte : stream) {
        framer.Append(Bytes{byte});
        while (framer.Next(message, header) == hartip::StreamFramer::Result::Message) {
            messages.push_back(message);
        }
    }
    EXPECT_EQ(messages, (std::vector<Bytes>{first, second}));
    EXPECT_EQ(framer.Buffered(), 0u);

    /* Both joined, with half of a third behind them. */
    hartip::StreamFramer joined;
    Bytes more = stream;
    more.insert(more.end(), second.begin(), second.begin() + 5);
    joined.Append(more);
    ASSERT_EQ(joined.Next(message, header), hartip::StreamFramer::Result::Message);
    EXPECT_EQ(message, first);
    ASSERT_EQ(joined.Next(message, header), hartip::StreamFramer::Result::Message);
    EXPECT_EQ(message, second);
    EXPECT_EQ(joined.Next(message, header), hartip::StreamFramer::Result::NeedMore);
    EXPECT_EQ(joined.Buffered(), 5u);
}

TEST(HartIpCodecTest, AByteCountThatCannotBeTrustedBreaksTheStreamForGood)
{
    for (std::uint16_t count : {std::uint16_t{0}, std::uint16_t{7}, std::uint16_t{276}, std::uint16_t{0xFFFF}}) {
        SCOPED_TRACE(count);
        hartip::StreamFramer framer;
        framer.Append(Message(1, 0, 3, count, 0));
        Bytes message;
        hartip::Header header;
        ASSERT_EQ(framer.Next(message, header), hartip::StreamFramer::Result::Broken);
        EXPECT_EQ(header.sequence, 0x1234);
        framer.Append(hartip::BuildMessage(0, hartip::kKeepAlive, 0, 2));
        EXPECT_EQ(framer.Next(message, header), hartip::StreamFramer::Result::Broken);
    }
}

} // namespace
