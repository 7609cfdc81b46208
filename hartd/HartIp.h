/*
 * HART-IP version 1 messages as hartd reads and writes them: the 8-byte
 * header, the session initiate body, the token-passing frame a request
 * carries, and the framing of a TCP byte stream. Standard library only, and
 * every length is checked before a byte is read, since every byte here comes
 * from the network.
 *
 * What the server does with a message is decided here too (Inspect), so that
 * the fuzz target and the service share one verdict for the same bytes.
 */
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hartip {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kHeaderBytes = 8;
/* Delimiter, 5 address bytes, 3 expansion bytes, command, byte count, 255 data bytes, check byte. */
inline constexpr std::size_t kMaxFrameBytes = 1 + 5 + 3 + 1 + 1 + 255 + 1;
/* The largest message the server takes: a header and the longest frame. */
inline constexpr std::size_t kMaxMessageBytes = kHeaderBytes + kMaxFrameBytes;
/* Master type byte and inactivity close time. */
inline constexpr std::size_t kInitiateBodyBytes = 5;
inline constexpr std::uint16_t kDefaultPort = 5094;

enum MessageType : std::uint8_t {
    kRequest = 0,
    kResponse = 1,
    kPublish = 2,
    kError = 3,
    kNak = 15,
};

enum MessageId : std::uint8_t {
    kSessionInitiate = 0,
    kSessionClose = 1,
    kKeepAlive = 2,
    kTokenPassingPdu = 3,
    kDirectPdu = 4,
    kReadAuditLog = 5,
};

/* The status byte. Responses and NAKs use the common response codes; error
   messages (a line transaction that failed) use hartd's own, from 1 up. */
namespace status {
inline constexpr std::uint8_t kSuccess = 0;
inline constexpr std::uint8_t kInvalidSelection = 2;
inline constexpr std::uint8_t kTooLarge = 3;
inline constexpr std::uint8_t kTooFewDataBytes = 5;
inline constexpr std::uint8_t kSetToNearest = 8;
inline constexpr std::uint8_t kVersionNotSupported = 14;
inline constexpr std::uint8_t kSessionsInUse = 15;
inline constexpr std::uint8_t kAccessRestricted = 16;
inline constexpr std::uint8_t kBusy = 32;
inline constexpr std::uint8_t kNotImplemented = 64;

/* Error messages. */
inline constexpr std::uint8_t kNoAnswer = 1;
inline constexpr std::uint8_t kPortUnavailable = 2;
inline constexpr std::uint8_t kCorruptAnswer = 3;
inline constexpr std::uint8_t kShuttingDown = 4;
} // namespace status

struct Header {
    std::uint8_t version = kVersion;
    std::uint8_t type = kRequest;
    std::uint8_t id = kKeepAlive;
    std::uint8_t status = 0;
    std::uint16_t sequence = 0;
    std::uint16_t byteCount = kHeaderBytes;
};

/* Nullopt when fewer than 8 bytes are there. */
std::optional<Header> ReadHeader(std::span<const std::uint8_t> bytes);
/* A whole message: the header with its byte count set, then the body.
   Throws std::length_error for a body that would not fit the count. */
Bytes BuildMessage(std::uint8_t type, std::uint8_t id, std::uint8_t status, std::uint16_t sequence,
                   std::span<const std::uint8_t> body = {});

struct InitiateBody {
    std::uint8_t masterType = 1; /* 1 primary, 0 secondary */
    std::uint32_t inactivityMs = 0;
};
/* Nullopt when the body is shorter than 5 bytes; bytes after the fifth are ignored. */
std::optional<InitiateBody> ReadInitiate(std::span<const std::uint8_t> body);
Bytes InitiateBodyBytes(const InitiateBody& body);

/* What the server does with one whole message (a datagram, or a message a
   TCP stream delivered). */
struct Verdict {
    enum class Action {
        Serve,  /* a request the server knows: hand it on */
        Reply,  /* answer with replyType and replyStatus, nothing more */
        Drop,   /* no answer at all */
    };
    Action action = Action::Drop;
    Header header;
    std::uint8_t replyType = kNak;
    std::uint8_t replyStatus = 0;
    /* For the log. */
    const char* why = "";
};
Verdict Inspect(std::span<const std::uint8_t> message);

/* A request frame as a token-passing PDU carries it: delimiter to check
   byte, no preambles. Valid when it is one whole STX frame of an
   asynchronous physical layer and nothing after it, check byte correct. */
struct FrameCheck {
    bool valid = false;
    std::uint8_t status = status::kSuccess; /* the response status when not valid */
    const char* why = "";
};
FrameCheck CheckRequestFrame(std::span<const std::uint8_t> frame);
/* The frame after any preambles: some clients send them as they would on
   the wire, and the server puts its own in front anyway. */
std::span<const std::uint8_t> WithoutPreambles(std::span<const std::uint8_t> frame);
/* The frame with its master bit set (primary) or cleared, check byte recomputed.
   The frame must have passed CheckRequestFrame. */
Bytes WithMasterBit(std::span<const std::uint8_t> frame, bool primary);

/*
 * Cuts a TCP byte stream into messages by their byte counts, whichever
 * way the stream splits or joins them. A header whose byte count is below 8
 * or above kMaxMessageBytes cannot be skipped safely, so the stream is then
 * broken for good: the caller answers that header and closes.
 */
class StreamFramer {
public:
    enum class Result { NeedMore, Message, Broken };

    void Append(std::span<const std::uint8_t> bytes);
    /* Message: message holds the next whole message. Broken: header holds the
       header that broke it (reply with Inspect's verdict on it). */
    Result Next(Bytes& message, Header& header);
    /* Bytes received and not yet a whole message. */
    std::size_t Buffered() const { return buffer_.size() - start_; }

private:
    Bytes buffer_;
    std::size_t start_ = 0;
    bool broken_ = false;
};

/* The server's inactivity bounds: a requested close time outside them is
   clamped, and the initiate answered with status 8. */
struct InactivityBounds {
    std::chrono::milliseconds minimum{1000};
    std::chrono::milliseconds maximum{std::chrono::hours(1)};
};

std::string MessageTypeName(std::uint8_t type);
std::string MessageIdName(std::uint8_t id);

} // namespace hartip
