#include "HartIpClient.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "HartIp.h"

namespace hartctl {

namespace {

using Clock = std::chrono::steady_clock;

/* A session message is answered at once; a frame may wait for the line and for other sessions. */
constexpr std::chrono::milliseconds kSessionWait{5000};
constexpr std::chrono::milliseconds kFrameWait{30000};
/* What hartctl asks: the server clamps it to what it allows. */
constexpr std::uint32_t kInactivityMs = 60000;

std::string ServerStatusText(std::uint8_t type, std::uint8_t status)
{
    if (type == hartip::kError) {
        switch (status) {
        case hartip::status::kNoAnswer:
            return "no answer from the device";
        case hartip::status::kPortUnavailable:
            return "the server's port is unavailable";
        case hartip::status::kCorruptAnswer:
            return "the device's answer was corrupt";
        case hartip::status::kShuttingDown:
            return "the server is stopping";
        default:
            return "the server reported error " + std::to_string(status);
        }
    }
    switch (status) {
    case hartip::status::kInvalidSelection:
        return "the server refused the request as invalid (status 2)";
    case hartip::status::kTooFewDataBytes:
        return "the server found the request cut short (status 5)";
    case hartip::status::kVersionNotSupported:
        return "the server does not support this version (status 14)";
    case hartip::status::kSessionsInUse:
        return "all the server's sessions are in use (status 15)";
    case hartip::status::kAccessRestricted:
        return "the server has no session for this client (status 16)";
    case hartip::status::kBusy:
        return "the server is busy (status 32)";
    default:
        return "the server answered with status " + std::to_string(status);
    }
}

} // namespace

HartIpClient::~HartIpClient()
{
    if (open_) {
        std::uint16_t sequence = 0;
        Message answer;
        if (!Send(hartip::kSessionClose, {}, sequence)) {
            Await(hartip::kSessionClose, sequence, std::chrono::milliseconds(1000), answer);
        }
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::optional<Failure> HartIpClient::Open(const std::string& where, bool tcp, bool primary)
{
    std::string host = where;
    std::string port = std::to_string(hartip::kDefaultPort);
    if (!where.empty() && where[0] == '[') {
        const std::size_t close = where.find(']');
        if (close == std::string::npos) {
            return Failure{STATUS_INVALID_PARAMETER, "an IPv6 address goes in brackets: [::1]:5094"};
        }
        host = where.substr(1, close - 1);
        if (close + 1 < where.size()) {
            if (where[close + 1] != ':') {
                return Failure{STATUS_INVALID_PARAMETER, "expected [ADDRESS]:PORT, not " + where};
            }
            port = where.substr(close + 2);
        }
    } else if (const std::size_t colon = where.rfind(':'); colon != std::string::npos && where.find(':') == colon) {
        host = where.substr(0, colon);
        port = where.substr(colon + 1);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); error != 0) {
        return Failure{STATUS_INVALID_PARAMETER, "cannot reach " + where + ": " + gai_strerror(error)};
    }
    std::string why = "no address";
    for (addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
        const int fd = socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            why = std::strerror(errno);
            continue;
        }
        if (connect(fd, candidate->ai_addr, candidate->ai_addrlen) == 0) {
            fd_ = fd;
            break;
        }
        why = std::strerror(errno);
        close(fd);
    }
    freeaddrinfo(found);
    if (fd_ < 0) {
        return Failure{STATUS_DEVICE_NOT_READY, "cannot connect to " + where + ": " + why};
    }
    if (tcp) {
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    tcp_ = tcp;
    where_ = where;
    std::uint16_t sequence = 0;
    if (auto failure = Send(hartip::kSessionInitiate, hartip::InitiateBodyBytes({primary ? std::uint8_t{1} : std::uint8_t{0}, kInactivityMs}),
                            sequence)) {
        return failure;
    }
    Message answer;
    if (auto failure = Await(hartip::kSessionInitiate, sequence, kSessionWait, answer)) {
        return failure;
    }
    if (answer.type != hartip::kResponse ||
        (answer.status != hartip::status::kSuccess && answer.status != hartip::status::kSetToNearest)) {
        return Failure{STATUS_ACCESS_DENIED, "no session with " + where + ": " + ServerStatusText(answer.type, answer.status)};
    }
    open_ = true;
    return std::nullopt;
}

std::optional<Failure> HartIpClient::Send(std::uint8_t id, const hart::Bytes& body, std::uint16_t& sequence)
{
    sequence = ++sequence_;
    const hart::Bytes message = hartip::BuildMessage(hartip::kRequest, id, 0, sequence, body);
    const ssize_t sent = send(fd_, message.data(), message.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(message.size())) {
        return Failure{STATUS_UNSUCCESSFUL, "could not send to " + where_ + ": " + std::strerror(errno)};
    }
    return std::nullopt;
}

std::optional<HartIpClient::Message> HartIpClient::Receive(Clock::time_point deadline, std::optional<Failure>& failure)
{
    for (;;) {
        if (tcp_) {
            if (auto header = hartip::ReadHeader(stream_)) {
                if (header->byteCount < hartip::kHeaderBytes) {
                    failure = Failure{STATUS_UNSUCCESSFUL, where_ + " sent a message with a byte count below 8"};
                    return std::nullopt;
                }
                if (stream_.size() >= header->byteCount) {
                    Message message{header->type, header->id, header->status, header->sequence,
                                    hart::Bytes(stream_.begin() + hartip::kHeaderBytes, stream_.begin() + header->byteCount)};
                    stream_.erase(stream_.begin(), stream_.begin() + header->byteCount);
                    return message;
                }
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd_, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            return std::nullopt;
        }
        std::uint8_t buffer[65536];
        const ssize_t got = recv(fd_, buffer, sizeof(buffer), 0);
        if (got == 0 && tcp_) {
            failure = Failure{STATUS_CANCELLED, where_ + " closed the connection"};
            open_ = false;
            return std::nullopt;
        }
        if (got < 0) {
            failure = Failure{STATUS_UNSUCCESSFUL, "could not receive from " + where_ + ": " + std::strerror(errno)};
            return std::nullopt;
        }
        if (tcp_) {
            stream_.insert(stream_.end(), buffer, buffer + got);
            continue;
        }
        auto header = hartip::ReadHeader(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(got)));
        if (!header || header->byteCount != got) {
            continue; /* not a whole message: a datagram can be taken alone, so it is left out */
        }
        return Message{header->type, header->id, header->status, header->sequence,
                       hart::Bytes(buffer + hartip::kHeaderBytes, buffer + got)};
    }
}

std::optional<Failure> HartIpClient::Await(std::uint8_t id, std::uint16_t sequence, std::chrono::milliseconds wait,
                                           Message& answer)
{
    const auto deadline = Clock::now() + wait;
    for (;;) {
        std::optional<Failure> failure;
        std::optional<Message> message = Receive(deadline, failure);
        if (failure) {
            return failure;
        }
        if (!message) {
            return Failure{STATUS_TRANSACTION_TIMED_OUT, "no answer from the server " + where_};
        }
        if (message->type == hartip::kPublish) {
            published_.push_back(std::move(message->body));
            continue;
        }
        if (message->id == id && message->sequence == sequence) {
            answer = std::move(*message);
            return std::nullopt;
        }
        /* An answer to an earlier request, given up on: not this one's. */
    }
}

std::optional<Failure> HartIpClient::Transact(const hart::Bytes& frame, hart::Bytes& answer)
{
    std::uint16_t sequence = 0;
    if (auto failure = Send(hartip::kTokenPassingPdu, frame, sequence)) {
        return failure;
    }
    Message reply;
    if (auto failure = Await(hartip::kTokenPassingPdu, sequence, kFrameWait, reply)) {
        return failure;
    }
    if (reply.type == hartip::kResponse && reply.status == hartip::status::kSuccess) {
        answer = std::move(reply.body);
        return std::nullopt;
    }
    const NTSTATUS status = reply.type == hartip::kError && reply.status == hartip::status::kNoAnswer
                                ? STATUS_TRANSACTION_TIMED_OUT
                            : reply.type == hartip::kError && reply.status == hartip::status::kCorruptAnswer
                                ? STATUS_CRC_ERROR
                                : STATUS_UNSUCCESSFUL;
    return Failure{status, ServerStatusText(reply.type, reply.status)};
}

std::optional<hart::Bytes> HartIpClient::NextPublished(std::chrono::milliseconds wait, std::optional<Failure>& failure)
{
    if (!published_.empty()) {
        hart::Bytes frame = std::move(published_.front());
        published_.pop_front();
        return frame;
    }
    const auto deadline = Clock::now() + wait;
    while (auto message = Receive(deadline, failure)) {
        if (message->type == hartip::kPublish) {
            return std::move(message->body);
        }
    }
    return std::nullopt;
}

hart::Transport HartIpTransport::Transport()
{
    return {[this](const hart::Bytes& frame) { return Send(frame); }, [this] { return Next(); },
            [](std::chrono::milliseconds delay) { std::this_thread::sleep_for(delay); }};
}

hart::Sent HartIpTransport::Send(const hart::Bytes& frame)
{
    answer_.reset();
    failure_.reset();
    /* No delimiter is 0xFF: what leads up to the first other byte are preambles. */
    auto start = frame.begin();
    while (start != frame.end() && *start == 0xFF) {
        ++start;
    }
    hart::Bytes answer;
    if (auto failure = client_.Transact(hart::Bytes(start, frame.end()), answer)) {
        failure_ = failure;
        const bool silent = failure->status == STATUS_TRANSACTION_TIMED_OUT;
        return {silent ? hart::Sent::Status::NoAnswer : hart::Sent::Status::Failed, failure->sentence};
    }
    answer_ = std::move(answer);
    return {};
}

hart::Heard HartIpTransport::Next()
{
    if (!answer_) {
        return {};
    }
    hart::Heard heard{hart::Heard::Kind::Frame, std::move(*answer_), false, {}};
    answer_.reset();
    return heard;
}

} // namespace hartctl
