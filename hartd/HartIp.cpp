#include "HartIp.h"

#include <algorithm>
#include <stdexcept>

namespace hartip {

namespace {

constexpr std::uint8_t kDelimiterStx = 0x02;
constexpr std::uint8_t kLongAddressBit = 0x80;
constexpr std::uint8_t kMasterBit = 0x80;

std::uint8_t Xor(std::span<const std::uint8_t> bytes)
{
    std::uint8_t check = 0;
    for (std::uint8_t b : bytes) {
        check ^= b;
    }
    return check;
}

Verdict Answer(const Header& header, std::uint8_t type, std::uint8_t status, const char* why)
{
    Verdict verdict;
    verdict.action = Verdict::Action::Reply;
    verdict.header = header;
    verdict.replyType = type;
    verdict.replyStatus = status;
    verdict.why = why;
    return verdict;
}

} // namespace

std::optional<Header> ReadHeader(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < kHeaderBytes) {
        return std::nullopt;
    }
    Header header;
    header.version = bytes[0];
    header.type = bytes[1];
    header.id = bytes[2];
    header.status = bytes[3];
    header.sequence = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
    header.byteCount = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
    return header;
}

Bytes BuildMessage(std::uint8_t type, std::uint8_t id, std::uint8_t status, std::uint16_t sequence,
                   std::span<const std::uint8_t> body)
{
    if (body.size() > 0xFFFF - kHeaderBytes) {
        throw std::length_error("a message body longer than its byte count can say");
    }
    const auto count = static_cast<std::uint16_t>(kHeaderBytes + body.size());
    Bytes message(count);
    message[0] = kVersion;
    message[1] = type;
    message[2] = id;
    message[3] = status;
    message[4] = static_cast<std::uint8_t>(sequence >> 8);
    message[5] = static_cast<std::uint8_t>(sequence);
    message[6] = static_cast<std::uint8_t>(count >> 8);
    message[7] = static_cast<std::uint8_t>(count);
    std::copy(body.begin(), body.end(), message.begin() + kHeaderBytes);
    return message;
}

std::optional<InitiateBody> ReadInitiate(std::span<const std::uint8_t> body)
{
    if (body.size() < kInitiateBodyBytes) {
        return std::nullopt;
    }
    InitiateBody initiate;
    initiate.masterType = body[0];
    initiate.inactivityMs = static_cast<std::uint32_t>(body[1]) << 24 | static_cast<std::uint32_t>(body[2]) << 16 |
                            static_cast<std::uint32_t>(body[3]) << 8 | body[4];
    return initiate;
}

Bytes InitiateBodyBytes(const InitiateBody& body)
{
    return {body.masterType, static_cast<std::uint8_t>(body.inactivityMs >> 24),
            static_cast<std::uint8_t>(body.inactivityMs >> 16), static_cast<std::uint8_t>(body.inactivityMs >> 8),
            static_cast<std::uint8_t>(body.inactivityMs)};
}

Verdict Inspect(std::span<const std::uint8_t> message)
{
    const std::optional<Header> read = ReadHeader(message);
    if (!read) {
        /* No sequence number to echo, and an 8-byte answer to a 1-byte datagram would amplify. */
        Verdict verdict;
        verdict.why = "shorter than a header";
        return verdict;
    }
    const Header& header = *read;
    switch (header.type) {
    case kResponse:
    case kPublish:
    case kError:
    case kNak: {
        /* Answering an answer could bounce between two peers for ever. */
        Verdict verdict;
        verdict.header = header;
        verdict.why = "not a request";
        return verdict;
    }
    default:
        break;
    }
    if (header.version != kVersion) {
        return Answer(header, kNak, status::kVersionNotSupported, "unsupported version");
    }
    if (header.type != kRequest) {
        return Answer(header, kNak, status::kInvalidSelection, "unknown message type");
    }
    if (header.byteCount < kHeaderBytes) {
        return Answer(header, kNak, status::kTooFewDataBytes, "byte count below the header's size");
    }
    if (header.byteCount > kMaxMessageBytes) {
        return Answer(header, kNak, status::kTooLarge, "byte count above the largest message");
    }
    if (header.byteCount > message.size()) {
        return Answer(header, kNak, status::kTooFewDataBytes, "fewer bytes than the byte count says");
    }
    if (header.byteCount < message.size()) {
        return Answer(header, kNak, status::kTooLarge, "more bytes than the byte count says");
    }
    switch (header.id) {
    case kSessionInitiate:
    case kSessionClose:
    case kKeepAlive:
    case kTokenPassingPdu: {
        Verdict verdict;
        verdict.action = Verdict::Action::Serve;
        verdict.header = header;
        return verdict;
    }
    case kDirectPdu:
    case kReadAuditLog:
        return Answer(header, kNak, status::kNotImplemented, "message ID not served");
    default:
        return Answer(header, kNak, status::kInvalidSelection, "unknown message ID");
    }
}

FrameCheck CheckRequestFrame(std::span<const std::uint8_t> frame)
{
    auto refuse = [](std::uint8_t code, const char* why) { return FrameCheck{false, code, why}; };
    if (frame.empty()) {
        return refuse(status::kTooFewDataBytes, "no frame");
    }
    const std::uint8_t delimiter = frame[0];
    if ((delimiter & 0x07) != kDelimiterStx) {
        return refuse(status::kInvalidSelection, "not a request frame");
    }
    if ((delimiter & 0x18) != 0) {
        return refuse(status::kInvalidSelection, "not an asynchronous frame");
    }
    const std::size_t addressBytes = (delimiter & kLongAddressBit) != 0 ? 5 : 1;
    const std::size_t expansionBytes = (delimiter >> 5) & 0x03;
    const std::size_t countAt = 1 + addressBytes + expansionBytes + 1;
    if (frame.size() <= countAt) {
        return refuse(status::kTooFewDataBytes, "the frame's header is cut short");
    }
    const std::size_t whole = countAt + 1 + frame[countAt] + 1;
    if (frame.size() < whole) {
        return refuse(status::kTooFewDataBytes, "the frame's data are cut short");
    }
    if (frame.size() > whole) {
        return refuse(status::kInvalidSelection, "bytes after the frame's check byte");
    }
    if (Xor(frame.first(whole - 1)) != frame[whole - 1]) {
        return refuse(status::kInvalidSelection, "wrong check byte");
    }
    return FrameCheck{true, status::kSuccess, ""};
}

std::span<const std::uint8_t> WithoutPreambles(std::span<const std::uint8_t> frame)
{
    std::size_t start = 0;
    while (start < frame.size() && frame[start] == 0xFF) {
        start++;
    }
    return frame.subspan(start);
}

Bytes WithMasterBit(std::span<const std::uint8_t> frame, bool primary)
{
    Bytes out(frame.begin(), frame.end());
    if (out.size() < 3) {
        return out;
    }
    out[1] = static_cast<std::uint8_t>(primary ? (out[1] | kMasterBit) : (out[1] & ~kMasterBit));
    out.back() = Xor(std::span<const std::uint8_t>(out).first(out.size() - 1));
    return out;
}

void StreamFramer::Append(std::span<const std::uint8_t> bytes)
{
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

StreamFramer::Result StreamFramer::Next(Bytes& message, Header& header)
{
    if (broken_) {
        return Result::Broken;
    }
    const std::span<const std::uint8_t> pending = std::span<const std::uint8_t>(buffer_).subspan(start_);
    const std::optional<Header> read = ReadHeader(pending);
    if (!read) {
        return Result::NeedMore;
    }
    header = *read;
    if (header.byteCount < kHeaderBytes || header.byteCount > kMaxMessageBytes) {
        broken_ = true;
        return Result::Broken;
    }
    if (pending.size() < header.byteCount) {
        return Result::NeedMore;
    }
    message.assign(pending.begin(), pending.begin() + header.byteCount);
    start_ += header.byteCount;
    /* Keep what is left at the front, so the buffer never grows past one read and one message. */
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > kMaxMessageBytes) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    return Result::Message;
}

std::string MessageTypeName(std::uint8_t type)
{
    switch (type) {
    case kRequest:
        return "request";
    case kResponse:
        return "response";
    case kPublish:
        return "publish";
    case kError:
        return "error";
    case kNak:
        return "NAK";
    default:
        return "type " + std::to_string(type);
    }
}

std::string MessageIdName(std::uint8_t id)
{
    switch (id) {
    case kSessionInitiate:
        return "session initiate";
    case kSessionClose:
        return "session close";
    case kKeepAlive:
        return "keep-alive";
    case kTokenPassingPdu:
        return "token-passing PDU";
    case kDirectPdu:
        return "direct PDU";
    case kReadAuditLog:
        return "read audit log";
    default:
        return "message ID " + std::to_string(id);
    }
}

} // namespace hartip
