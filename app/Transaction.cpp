#include "app/Transaction.h"

#include <algorithm>

#include "app/Status.h"

namespace hart {

namespace {

std::string Times(int count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

/* " after 3 repeats", or nothing when there were none. */
std::string AfterRepeats(int repeats)
{
    return repeats > 0 ? " after " + Times(repeats, "repeat", "repeats") : std::string();
}

std::string SetAsideText(const std::vector<Bytes>& setAside)
{
    std::string text;
    for (const Bytes& bytes : setAside) {
        std::optional<Frame> frame = ParseFrame(bytes);
        text += text.empty() ? "" : "; ";
        text += frame ? std::string(KindName(frame->Kind())) + " from " + frame->AddressText() + " for command " +
                            std::to_string(frame->command)
                      : std::string("an unreadable frame");
    }
    return text;
}

bool IsExpandedRequest(const Request& request)
{
    return request.command == kExpandedCommand && request.data.size() >= 2;
}

std::uint16_t ExpandedNumber(const Request& request)
{
    return static_cast<std::uint16_t>(request.data[0] << 8 | request.data[1]);
}

} // namespace

const char* OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Answered:
        return "answered";
    case Outcome::BusyExhausted:
        return "busy-exhausted";
    case Outcome::StillRunning:
        return "still-running";
    case Outcome::DelayedResponseDead:
        return "delayed-response-dead";
    case Outcome::Conflict:
        return "conflict";
    case Outcome::DamagedAnswer:
        return "damaged-answer";
    case Outcome::NoAnswer:
        return "no-answer";
    case Outcome::MismatchedOnly:
        return "mismatched-only";
    case Outcome::TransportFailed:
        return "transport-failed";
    }
    return "?";
}

bool BelongsTo(const Frame& answer, const Request& request)
{
    if (!Answers(answer, request)) {
        return false;
    }
    if (IsExpandedRequest(request) && answer.data.size() < 4) {
        /* Without the number nothing tells this answer from a late one to an
           earlier expanded command. Only a refusal with the status bytes alone,
           as from a device that does not know command 31, is taken: it carries
           no data that could be put under the wrong command. */
        return answer.data.size() == 2 && !DecodeResponse(kExpandedCommand, answer.data[0]).CarriedOut();
    }
    return true;
}

Transactor::Transactor(Transport transport, RepeatLimits limits)
    : transport_(std::move(transport)), limits_(limits)
{
}

TransactionResult Transactor::Run(const Request& to, std::uint16_t command, const Bytes& data)
{
    return Run(Expanded(to, command, data));
}

TransactionResult Transactor::Run(const Request& request)
{
    TransactionResult result;
    result.request = BuildRequest(request);
    int busyLeft = std::max(0, limits_.busy);
    int conflictLeft = std::max(0, limits_.conflict);
    for (;;) {
        result.attempts++;
        Sent sent = transport_.send(result.request);
        if (sent.status != Sent::Status::Sent) {
            const bool silent = sent.status == Sent::Status::NoAnswer;
            result.outcome = silent ? Outcome::NoAnswer : Outcome::TransportFailed;
            result.why = !sent.why.empty() ? sent.why : silent ? "no answer came" : "the request could not be sent";
            return result;
        }

        std::optional<Frame> answer;
        Bytes answerBytes;
        bool damaged = false;
        for (;;) {
            Heard heard = transport_.next();
            if (heard.kind == Heard::Kind::Silence) {
                break;
            }
            if (heard.kind == Heard::Kind::Failed) {
                result.outcome = Outcome::TransportFailed;
                result.why = !heard.why.empty() ? heard.why : "the answer could not be read";
                return result;
            }
            std::optional<Frame> frame = ParseFrame(heard.bytes);
            if (!frame || !BelongsTo(*frame, request)) {
                result.setAside.push_back(std::move(heard.bytes));
                continue;
            }
            answer = std::move(frame);
            answerBytes = std::move(heard.bytes);
            damaged = heard.damaged || !answer->checkByteOk;
            break;
        }
        if (!answer) {
            if (result.setAside.empty()) {
                result.outcome = Outcome::NoAnswer;
                result.why = "no answer came";
            } else {
                result.outcome = Outcome::MismatchedOnly;
                result.why = "no answer from the device asked; set aside as not its answer: " +
                             SetAsideText(result.setAside);
            }
            return result;
        }

        Unwrap(*answer);
        if (IsExpandedRequest(request)) {
            /* A refusal without the number still answers the command asked for. */
            answer->command = ExpandedNumber(request);
        }
        result.answer = answer;
        result.answerBytes = std::move(answerBytes);
        if (damaged) {
            /* Its response code cannot be trusted either, busy or not. */
            result.outcome = Outcome::DamagedAnswer;
            result.why = "the answer arrived with a wrong check byte";
            return result;
        }
        /* A first status byte with its top bit set reports a communication
           error, and its other bits are not a response code. */
        const std::uint8_t code = answer->data.size() >= 2 ? answer->data[0] : 0;
        if (answer->data.size() < 2 || (code & 0x80) != 0 || code < kResponseBusy || code > kResponseDelayedConflict) {
            result.outcome = Outcome::Answered;
            return result;
        }
        const std::string name = DecodeResponse(answer->command, code).name;
        result.interim.push_back(Interim{result.attempts, code, name});
        int* left = nullptr;
        switch (code) {
        case kResponseBusy:
        case kResponseDelayedInitiated:
        case kResponseDelayedRunning:
            left = &busyLeft;
            break;
        case kResponseDelayedConflict:
            left = &conflictLeft;
            break;
        default:
            break;
        }
        if (left != nullptr && *left > 0) {
            --*left;
            transport_.wait(limits_.delay);
            continue;
        }
        const std::string after = AfterRepeats(result.Repeats());
        switch (code) {
        case kResponseBusy:
            result.outcome = Outcome::BusyExhausted;
            result.why = "the device was still busy" + after;
            break;
        case kResponseDelayedInitiated:
        case kResponseDelayedRunning:
            result.outcome = Outcome::StillRunning;
            result.why = "the device was still working on the command (" + name + ")" + after +
                         "; it may yet carry it out";
            break;
        case kResponseDelayedDead:
            result.outcome = Outcome::DelayedResponseDead;
            result.why = "the device gave up the command it was working on (" + name + ")" + after;
            break;
        default:
            result.outcome = Outcome::Conflict;
            result.why = "the device is still working on another command (" + name + ")" + after;
            break;
        }
        return result;
    }
}

} // namespace hart
