/* Transactions over a scripted transport: what each request hears, and no real waiting. */
#include <gtest/gtest.h>

#include <deque>

#include "app/Transaction.h"

namespace {

using hart::Bytes;
using hart::Outcome;

constexpr std::array<std::uint8_t, 5> kDevice{0x26, 0x06, 0x10, 0x00, 0x01};

/* An answer as the device at id sends it to the primary master. */
Bytes Ack(std::uint8_t command, Bytes data, std::array<std::uint8_t, 5> id = kDevice, bool primary = true)
{
    Bytes frame{0x86, static_cast<std::uint8_t>((primary ? 0x80 : 0x00) | id[0]), id[1], id[2], id[3], id[4], command,
                static_cast<std::uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(hart::CheckByte(frame));
    return frame;
}

/* Each request hears the frames of the next script entry, then silence. */
struct FakeLine {
    std::deque<std::vector<Bytes>> script;
    std::vector<Bytes> sent;
    std::vector<std::chrono::milliseconds> waits;
    std::deque<Bytes> hearing;

    hart::Transport Transport()
    {
        return {[this](const Bytes& frame) {
                    sent.push_back(frame);
                    if (script.empty()) {
                        return hart::Sent{hart::Sent::Status::NoAnswer, "no answer after 3 attempts"};
                    }
                    hearing.assign(script.front().begin(), script.front().end());
                    script.pop_front();
                    return hart::Sent{};
                },
                [this] {
                    if (hearing.empty()) {
                        return hart::Heard{};
                    }
                    hart::Heard heard{hart::Heard::Kind::Frame, hearing.front(), false, {}};
                    hearing.pop_front();
                    return heard;
                },
                [this](std::chrono::milliseconds delay) { waits.push_back(delay); }};
    }
};

hart::Request ToDevice(std::uint8_t command)
{
    hart::Request request;
    request.address = hart::Address::Long(kDevice);
    request.command = command;
    return request;
}

std::vector<std::uint8_t> Codes(const hart::TransactionResult& result)
{
    std::vector<std::uint8_t> codes;
    for (const hart::Interim& interim : result.interim) {
        codes.push_back(interim.code);
    }
    return codes;
}

TEST(TransactionTest, BusyAndDelayedResponsesAreAskedAgainUntilTheAnswerComes)
{
    FakeLine line;
    line.script = {{Ack(1, {32, 0})}, {Ack(1, {32, 0})}, {Ack(1, {0, 0, 32, 0x41, 0x48, 0, 0})}};
    hart::TransactionResult busy = hart::Transactor(line.Transport()).Run(ToDevice(1));
    EXPECT_EQ(busy.outcome, Outcome::Answered);
    EXPECT_EQ(busy.attempts, 3);
    EXPECT_EQ(busy.Repeats(), 2);
    ASSERT_EQ(busy.interim.size(), 2u);
    EXPECT_EQ(busy.interim[1].attempt, 2);
    EXPECT_EQ(busy.interim[1].name, "device is busy");
    EXPECT_EQ(busy.answer->data[0], 0);
    /* The very same request each time, a pause before each repeat. */
    EXPECT_EQ(line.sent, std::vector<Bytes>(3, busy.request));
    EXPECT_EQ(line.waits, std::vector<std::chrono::milliseconds>(2, std::chrono::milliseconds(1000)));

    line = {};
    line.script = {{Ack(40, {33, 0})}, {Ack(40, {34, 0})}, {Ack(40, {32, 0})}, {Ack(40, {34, 0})}, {Ack(40, {0, 0})}};
    hart::TransactionResult delayed = hart::Transactor(line.Transport()).Run(ToDevice(40));
    EXPECT_EQ(delayed.outcome, Outcome::Answered);
    EXPECT_EQ(Codes(delayed), (std::vector<std::uint8_t>{33, 34, 32, 34}));
}

TEST(TransactionTest, RepeatsAreBoundedAndADeadOrConflictingDelayedResponseEnds)
{
    hart::RepeatLimits limits;
    limits.busy = 3;
    limits.conflict = 1;
    limits.delay = std::chrono::milliseconds(250);
    auto run = [&](std::vector<std::uint8_t> codes) {
        FakeLine line;
        for (std::uint8_t code : codes) {
            line.script.push_back({Ack(1, {code, 0})});
        }
        hart::TransactionResult result = hart::Transactor(line.Transport(), limits).Run(ToDevice(1));
        EXPECT_EQ(line.sent.size(), static_cast<std::size_t>(result.attempts));
        EXPECT_EQ(line.waits.size(), static_cast<std::size_t>(result.Repeats()));
        return result;
    };

    hart::TransactionResult busy = run({32, 32, 32, 32, 32, 0});
    EXPECT_EQ(busy.outcome, Outcome::BusyExhausted);
    EXPECT_EQ(busy.attempts, 4);
    EXPECT_EQ(busy.why, "the device was still busy after 3 repeats");
    EXPECT_EQ(busy.answer->data[0], 32);

    /* The device took the command on and may finish it: that is not "busy". */
    hart::TransactionResult running = run({33, 34, 34, 34, 0});
    EXPECT_EQ(running.outcome, Outcome::StillRunning);
    EXPECT_NE(running.why.find("it may yet carry it out"), std::string::npos) << running.why;

    /* Asking again after a dead delayed response would start the command over. */
    hart::TransactionResult dead = run({33, 35, 0});
    EXPECT_EQ(dead.outcome, Outcome::DelayedResponseDead);
    EXPECT_EQ(dead.attempts, 2);
    EXPECT_EQ(Codes(dead), (std::vector<std::uint8_t>{33, 35}));

    EXPECT_EQ(run({36, 36, 0}).outcome, Outcome::Conflict);
    EXPECT_EQ(run({36, 0}).outcome, Outcome::Answered);
    /* Conflicts have a count of their own; busy answers around them do not use it up. */
    EXPECT_EQ(run({32, 36, 32, 0}).outcome, Outcome::Answered);

    limits.busy = 0;
    EXPECT_EQ(run({32, 0}).attempts, 1);
}

TEST(TransactionTest, OnlyTheAnswerToThisRequestIsTaken)
{
    FakeLine line;
    const Bytes answer = Ack(1, {0, 0, 32, 0x41, 0x48, 0, 0});
    Bytes request = hart::BuildRequest(ToDevice(1));
    request.erase(request.begin(), request.begin() + 5);
    line.script = {{
        Ack(0, {0, 0}),                                 /* late answer to an earlier command */
        Ack(1, {0, 0}, {0x26, 0x06, 0x10, 0x00, 0x02}), /* another device */
        Ack(1, {0, 0}, kDevice, false),                 /* the other master's */
        request,                                        /* the request itself, heard back */
        Bytes{0x06, 0x80},                              /* cut short */
        answer,
    }};
    hart::TransactionResult result = hart::Transactor(line.Transport()).Run(ToDevice(1));
    EXPECT_EQ(result.outcome, Outcome::Answered);
    EXPECT_EQ(result.answerBytes, answer);
    EXPECT_EQ(result.setAside.size(), 5u);

    /* A late busy answer to another command makes nothing repeat, and a late
       success is never this request's answer. */
    line = {};
    line.script = {{Ack(0, {32, 0}), Ack(2, {0, 0, 1, 2})}};
    hart::TransactionResult late = hart::Transactor(line.Transport()).Run(ToDevice(1));
    EXPECT_EQ(late.outcome, Outcome::MismatchedOnly);
    EXPECT_EQ(late.attempts, 1);
    EXPECT_FALSE(late.answer);
    EXPECT_EQ(late.why, "no answer from the device asked; set aside as not its answer: ACK from 26 06 10 00 01 for "
                        "command 0; ACK from 26 06 10 00 01 for command 2");
}

TEST(TransactionTest, CommandsAbove255GoInsideCommand31AndComeBackAsThemselves)
{
    FakeLine line;
    line.script = {{
        Ack(31, {0, 0, 0x03, 0xE7, 0xEE}), /* an earlier expanded command's answer */
        Ack(31, {0, 0}),                   /* success without the number could be anyone's */
        Ack(31, {32, 0, 0x03, 0xE8}),
    }, {Ack(31, {0, 0, 0x03, 0xE8, 0xAB})}};
    hart::TransactionResult result = hart::Transactor(line.Transport()).Run(ToDevice(0), 1000, {0x01});
    EXPECT_EQ(hart::Hex(line.sent[0]), "FF FF FF FF FF 82 A6 06 10 00 01 1F 03 03 E8 01 C5");
    EXPECT_EQ(result.outcome, Outcome::Answered);
    EXPECT_EQ(result.attempts, 2);
    EXPECT_EQ(result.setAside.size(), 2u);
    ASSERT_EQ(Codes(result), std::vector<std::uint8_t>{32});
    EXPECT_EQ(result.answer->command, 1000);
    EXPECT_EQ(result.answer->data, (Bytes{0, 0, 0xAB}));

    /* A device without command 31 refuses it with the status bytes alone. */
    line = {};
    line.script = {{Ack(31, {64, 0})}};
    hart::TransactionResult refused = hart::Transactor(line.Transport()).Run(ToDevice(0), 1000, {});
    EXPECT_EQ(refused.outcome, Outcome::Answered);
    EXPECT_EQ(refused.answer->command, 1000);
    EXPECT_EQ(refused.answer->data, (Bytes{64, 0}));
}

TEST(TransactionTest, NeitherACommunicationErrorNorADamagedAnswerIsTakenForBusy)
{
    for (std::uint8_t code = 32; code <= 36; code++) {
        FakeLine line;
        /* Top bit set: overrun (0x20) and more, reported on the request; not a response code. */
        line.script = {{Ack(1, {static_cast<std::uint8_t>(0x80 | code), 0})}, {Ack(1, {0, 0})}};
        hart::TransactionResult result = hart::Transactor(line.Transport()).Run(ToDevice(1));
        EXPECT_EQ(result.outcome, Outcome::Answered) << int(code);
        EXPECT_EQ(result.attempts, 1) << int(code);
        EXPECT_TRUE(result.interim.empty()) << int(code);
    }

    FakeLine line;
    Bytes damaged = Ack(1, {32, 0});
    damaged.back() ^= 0x01;
    line.script = {{damaged}, {Ack(1, {0, 0})}};
    hart::TransactionResult result = hart::Transactor(line.Transport()).Run(ToDevice(1));
    EXPECT_EQ(result.outcome, Outcome::DamagedAnswer);
    EXPECT_EQ(result.attempts, 1);
}

TEST(TransactionTest, TheTransportsFailuresEndTheTransactionWithWhatCameBefore)
{
    FakeLine line;
    line.script = {{Ack(1, {32, 0})}}; /* then nothing: the fake's send reports no answer */
    hart::TransactionResult silent = hart::Transactor(line.Transport()).Run(ToDevice(1));
    EXPECT_EQ(silent.outcome, Outcome::NoAnswer);
    EXPECT_EQ(silent.why, "no answer after 3 attempts");
    EXPECT_EQ(silent.attempts, 2);
    EXPECT_EQ(silent.interim.size(), 1u);

    hart::Transport broken = line.Transport();
    broken.send = [](const Bytes&) { return hart::Sent{}; };
    broken.next = [] { return hart::Heard{hart::Heard::Kind::Failed, {}, false, "the serial port went away"}; };
    hart::TransactionResult failed = hart::Transactor(broken).Run(ToDevice(1));
    EXPECT_EQ(failed.outcome, Outcome::TransportFailed);
    EXPECT_EQ(failed.why, "the serial port went away");
}

} // namespace
