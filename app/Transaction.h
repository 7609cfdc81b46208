/*
 * One request and the answer that belongs to it, over whatever carries
 * frames for the caller (the driver's port device, a test's fake).
 *
 * A device that cannot serve a request now says so in its response code:
 * busy (32), or that it has taken the command on and works on it in the
 * background (delayed response initiated, 33; still running, 34). The host
 * asks again with the very same request after a pause until the real
 * answer comes, for a bounded number of times. A delayed response that the
 * device lost (dead, 35) ends the transaction: asking again would start the
 * command over, which the caller must decide, not this class. A conflict
 * (36) means the device is still working on a delayed response to another
 * command (another master's, or an earlier one of this master's); the
 * request is asked again a few times, as that one may finish.
 *
 * Requests with no answer at all are repeated by the driver (its port's
 * retry count); this class sends each request once and takes what came.
 *
 * Frames heard that are not the answer to this request (another device's,
 * another command's, an answer to an earlier request arriving late) are
 * set aside and kept for the caller to show; they are never taken for the
 * answer.
 */
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/Frame.h"

namespace hart {

inline constexpr std::uint8_t kResponseBusy = 32;
inline constexpr std::uint8_t kResponseDelayedInitiated = 33;
inline constexpr std::uint8_t kResponseDelayedRunning = 34;
inline constexpr std::uint8_t kResponseDelayedDead = 35;
inline constexpr std::uint8_t kResponseDelayedConflict = 36;

/* What became of a request handed to the transport. */
struct Sent {
    enum class Status {
        Sent,     /* it went out; what came back is read with Transport::next */
        NoAnswer, /* it went out, and nothing came back even after the driver's own retries */
        Failed,   /* it could not be sent */
    };
    Status status = Status::Sent;
    std::string why;
};

/* One thing the transport heard after a request. */
struct Heard {
    enum class Kind {
        Frame,   /* bytes holds a frame, delimiter through check byte */
        Silence, /* nothing more came in the time an answer may take */
        Failed,  /* reading failed; why says how */
    };
    Kind kind = Kind::Silence;
    Bytes bytes;
    /* The receiver found the frame damaged (besides a check byte that does not add up). */
    bool damaged = false;
    std::string why;
};

/*
 * How frames go out and come in. send puts one request frame (preambles
 * through check byte) on its way; next gives what was heard after it, one
 * frame a call, until Silence. wait lets time pass between repeats, on the
 * caller's clock. All three must be set.
 */
struct Transport {
    std::function<Sent(const Bytes& frame)> send;
    std::function<Heard()> next;
    std::function<void(std::chrono::milliseconds)> wait;
};

struct RepeatLimits {
    /* Repeats after busy and delayed-response answers. Ten at a second apart
       gives a device about ten seconds, more than a busy device or most
       background work (a write to non-volatile memory, a self test) needs,
       and still short enough for a person waiting at the command line. */
    int busy = 10;
    /* Repeats after a delayed-response conflict. The other master's command
       may run long, and its master polls for it itself; a few tries show
       whether it ends soon, after that the caller hears of the conflict. */
    int conflict = 3;
    std::chrono::milliseconds delay{1000};
};

enum class Outcome {
    Answered,            /* an answer with any other response code, which the caller reads */
    BusyExhausted,       /* busy still when the repeats ran out */
    StillRunning,        /* the delayed response was still running when the repeats ran out */
    DelayedResponseDead, /* the device lost the delayed response */
    Conflict,            /* another delayed response held the device when the repeats ran out */
    DamagedAnswer,       /* the answer came with a wrong check byte */
    NoAnswer,            /* nothing came back */
    MismatchedOnly,      /* frames came back, but none was the answer */
    TransportFailed,     /* the request could not be sent or its answer not read */
};

/* "answered", "busy-exhausted", ...: stable, for programs. */
const char* OutcomeName(Outcome outcome);

/* A busy or delayed-response answer that made the request go out again (or end). */
struct Interim {
    int attempt = 0; /* 1 for the first request */
    std::uint8_t code = 0;
    std::string name;
};

struct TransactionResult {
    Outcome outcome = Outcome::NoAnswer;
    /* The request frame as sent, preambles through check byte. */
    Bytes request;
    /* The last answer taken, as received, and parsed with a command-31 answer
       unwrapped into the command it carries. For busy and delayed-response
       outcomes it is the last such answer. */
    Bytes answerBytes;
    std::optional<Frame> answer;
    /* Requests sent, repeats included. */
    int attempts = 0;
    /* Every busy and delayed-response answer, in order. */
    std::vector<Interim> interim;
    /* Frames heard that were not the answer, in order. */
    std::vector<Bytes> setAside;
    /* For the outcomes other than Answered: what happened, in a sentence. */
    std::string why;

    /* Repeats that followed a busy or delayed-response answer. */
    int Repeats() const { return attempts > 0 ? attempts - 1 : 0; }
};

/* Is the answer the one request asked for? Answers, and a command-31 answer
   must name the expanded command unless it refuses with status bytes alone. */
bool BelongsTo(const Frame& answer, const Request& request);

class Transactor {
public:
    explicit Transactor(Transport transport, RepeatLimits limits = {});

    /* request as it goes on the wire: a command above 255 already inside
       command 31. Throws std::length_error as BuildRequest does. */
    TransactionResult Run(const Request& request);
    /* The command by its number (0 to 65535) with its data, to the address and
       as the master of to; above 255 it travels inside command 31. */
    TransactionResult Run(const Request& to, std::uint16_t command, const Bytes& data);

    const RepeatLimits& Limits() const { return limits_; }

private:
    Transport transport_;
    RepeatLimits limits_;
};

} // namespace hart
