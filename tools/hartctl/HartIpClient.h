/*
 * hartctl's road to a HART-IP server (--hart-ip HOST[:PORT], --tcp): one
 * session, opened with a session initiate and closed when the client goes.
 * Token-passing PDUs carry request frames without preambles; published
 * frames that come while a request waits are kept for monitor.
 */
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include "Session.h"
#include "app/Frame.h"
#include "app/Transaction.h"

namespace hartctl {

class HartIpClient {
public:
    HartIpClient() = default;
    ~HartIpClient();
    HartIpClient(const HartIpClient&) = delete;
    HartIpClient& operator=(const HartIpClient&) = delete;

    /* HOST, HOST:PORT or [V6]:PORT; the port defaults to 5094. */
    std::optional<Failure> Open(const std::string& where, bool tcp, bool primary);
    /* The answer frame (delimiter to check byte) to a request frame without preambles. */
    std::optional<Failure> Transact(const hart::Bytes& frame, hart::Bytes& answer);
    /* The next frame the server publishes; nullopt when none came in time (or on failure, then set). */
    std::optional<hart::Bytes> NextPublished(std::chrono::milliseconds wait, std::optional<Failure>& failure);
    const std::string& Where() const { return where_; }

private:
    struct Message {
        std::uint8_t type = 0;
        std::uint8_t id = 0;
        std::uint8_t status = 0;
        std::uint16_t sequence = 0;
        hart::Bytes body;
    };
    std::optional<Failure> Send(std::uint8_t id, const hart::Bytes& body, std::uint16_t& sequence);
    /* The answer to sequence; publishes on the way are kept. */
    std::optional<Failure> Await(std::uint8_t id, std::uint16_t sequence, std::chrono::milliseconds wait, Message& answer);
    /* One message, or nullopt when none came by the deadline. */
    std::optional<Message> Receive(std::chrono::steady_clock::time_point deadline, std::optional<Failure>& failure);

    int fd_ = -1;
    bool tcp_ = false;
    bool open_ = false;
    std::uint16_t sequence_ = 0;
    hart::Bytes stream_;
    std::deque<hart::Bytes> published_;
    std::string where_;
};

/*
 * The server as the transactor's transport. The server puts the preambles
 * on the line itself, so a request goes without them; its answer is the one
 * frame heard after it. A server that mixed up its sessions' answers is
 * caught by the transactor's matching, as a frame heard on a line would be.
 */
class HartIpTransport {
public:
    explicit HartIpTransport(HartIpClient& client) : client_(client) {}

    hart::Transport Transport();
    /* Why the request could not be carried, as the client or the server told it. */
    const std::optional<Failure>& TransportFailure() const { return failure_; }

private:
    hart::Sent Send(const hart::Bytes& frame);
    hart::Heard Next();

    HartIpClient& client_;
    std::optional<hart::Bytes> answer_;
    std::optional<Failure> failure_;
};

} // namespace hartctl
