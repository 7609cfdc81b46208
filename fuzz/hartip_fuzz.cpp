/*
 * HART-IP messages as they come off the network. The bytes are taken twice:
 * as one datagram, and as a TCP stream cut into chunks whose sizes the
 * first byte chooses. Whatever they are, the verdict answers with the
 * sequence number asked, every answer is a well-formed message, a frame
 * let through to the line is a whole request frame, and the stream yields
 * the same messages however it is cut.
 */
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "HartIp.h"

namespace {

using hartip::Bytes;

void CheckDatagram(std::span<const std::uint8_t> message)
{
    const hartip::Verdict verdict = hartip::Inspect(message);
    if (verdict.action == hartip::Verdict::Action::Drop) {
        return;
    }
    const hartip::Header asked = *hartip::ReadHeader(message);
    if (verdict.action == hartip::Verdict::Action::Reply) {
        const Bytes reply = hartip::BuildMessage(verdict.replyType, verdict.header.id, verdict.replyStatus,
                                                 verdict.header.sequence);
        const hartip::Header header = *hartip::ReadHeader(reply);
        if (header.sequence != asked.sequence || header.id != asked.id || header.byteCount != reply.size() ||
            header.version != hartip::kVersion) {
            fuzz::Fail("an answer that does not echo the request");
        }
        if (hartip::Inspect(reply).action != hartip::Verdict::Action::Drop) {
            fuzz::Fail("the server would answer its own answer");
        }
        return;
    }
    if (asked.version != hartip::kVersion || asked.type != hartip::kRequest || asked.byteCount != message.size() ||
        message.size() > hartip::kMaxMessageBytes || asked.id > hartip::kTokenPassingPdu) {
        fuzz::Fail("a message served that should have been refused");
    }
    const std::span<const std::uint8_t> body = message.subspan(hartip::kHeaderBytes);
    if (asked.id == hartip::kSessionInitiate) {
        if (auto initiate = hartip::ReadInitiate(body)) {
            if (hartip::ReadInitiate(hartip::InitiateBodyBytes(*initiate))->inactivityMs != initiate->inactivityMs) {
                fuzz::Fail("the initiate body does not read back");
            }
        } else if (body.size() >= hartip::kInitiateBodyBytes) {
            fuzz::Fail("a whole initiate body refused");
        }
    }
    /* As the server takes it: behind any preambles. */
    const std::span<const std::uint8_t> frame = hartip::WithoutPreambles(body);
    if (asked.id == hartip::kTokenPassingPdu && hartip::CheckRequestFrame(frame).valid) {
        if ((frame[0] & 0x07) != 0x02 || frame.size() > hartip::kMaxFrameBytes) {
            fuzz::Fail("a frame let through that is no request");
        }
        for (bool primary : {true, false}) {
            if (!hartip::CheckRequestFrame(hartip::WithMasterBit(frame, primary)).valid) {
                fuzz::Fail("setting the master bit spoiled the frame");
            }
        }
    }
}

/* Chunk sizes: 1 always when seed is 0, otherwise a walk between 1 and 300 that the seed starts. */
std::vector<Bytes> Frame(std::span<const std::uint8_t> stream, std::uint32_t seed, bool& broken)
{
    hartip::StreamFramer framer;
    std::vector<Bytes> messages;
    std::size_t at = 0;
    broken = false;
    while (at < stream.size() && !broken) {
        seed = seed == 0 ? 0 : seed * 1103515245u + 12345u;
        const std::size_t chunk = std::min<std::size_t>(stream.size() - at, 1 + (seed >> 16) % 300);
        framer.Append(stream.subspan(at, chunk));
        at += chunk;
        Bytes message;
        hartip::Header header;
        for (;;) {
            const auto result = framer.Next(message, header);
            if (result == hartip::StreamFramer::Result::Broken) {
                broken = true;
                break;
            }
            if (result == hartip::StreamFramer::Result::NeedMore) {
                break;
            }
            if (message.size() < hartip::kHeaderBytes || message.size() > hartip::kMaxMessageBytes ||
                hartip::ReadHeader(message)->byteCount != message.size()) {
                fuzz::Fail("the framer cut a message that is not as long as its count");
            }
            messages.push_back(message);
        }
        if (framer.Buffered() > hartip::kMaxMessageBytes + 301) {
            fuzz::Fail("the framer holds more than one read and one message");
        }
    }
    return messages;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::span<const std::uint8_t> all(data, size);
    CheckDatagram(all.subspan(1));

    /* The first byte seeds the cuts; the rest is the stream. */
    bool brokenCut = false;
    bool brokenWhole = false;
    const std::vector<Bytes> cut = Frame(all.subspan(1), data[0] + 1u, brokenCut);
    const std::vector<Bytes> bytewise = Frame(all.subspan(1), 0, brokenWhole);
    if (cut != bytewise || brokenCut != brokenWhole) {
        fuzz::Fail("the stream gave other messages when cut otherwise");
    }
    std::size_t framed = 0;
    for (const Bytes& message : cut) {
        if (!std::equal(message.begin(), message.end(), all.begin() + 1 + static_cast<long>(framed))) {
            fuzz::Fail("a framed message is not the bytes that came");
        }
        framed += message.size();
        CheckDatagram(message);
    }
    return 0;
}
