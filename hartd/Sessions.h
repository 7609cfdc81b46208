/*
 * The sessions of one endpoint: who they are (the peer's address and port
 * for UDP, the connection for TCP), their master type and their inactivity
 * timers. Time is handed in by the caller, so tests move it by hand and never
 * sleep. Standard library only.
 */
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "HartIp.h"

namespace hartd {

using Time = std::chrono::nanoseconds;
using SessionId = std::uint32_t;

struct Session {
    SessionId id = 0;
    /* "udp 127.0.0.1:40000" or "tcp 127.0.0.1:40000": unique within the endpoint. */
    std::string peer;
    bool primary = true;
    std::chrono::milliseconds inactivity{0};
    Time deadline{0};
    /* Requests of the session not yet answered: it is not idle while the line works for it. */
    unsigned pending = 0;
};

struct InitiateOutcome {
    std::uint8_t status = hartip::status::kSuccess;
    /* Set unless the table was full or the request invalid. */
    std::optional<SessionId> session;
    hartip::InitiateBody granted;
    bool renewed = false;
};

class SessionTable {
public:
    /* idSource: a counter shared by the tables of endpoints that serve one
       port, so that a session id names one session on that port's line. */
    SessionTable(std::size_t maxSessions, hartip::InactivityBounds bounds, SessionId* idSource = nullptr)
        : max_(maxSessions), bounds_(bounds), idSource_(idSource)
    {
    }

    /* A new session for peer, or the peer's session renewed with the new
       settings. Status 8 when the close time was clamped, 15 when the table
       is full, 2 for a master type other than 0 or 1. */
    InitiateOutcome Initiate(const std::string& peer, const hartip::InitiateBody& body, Time now);
    Session* Find(SessionId id);
    Session* FindByPeer(const std::string& peer);
    /* Any message of the session restarts its timer. */
    void Touch(SessionId id, Time now);
    void Close(SessionId id);
    /* Sessions past their deadline, removed from the table. One with
       requests pending gets a new period instead. */
    std::vector<Session> Expire(Time now);
    /* When the next session runs out; nullopt with none. */
    std::optional<Time> NextDeadline() const;

    std::size_t Size() const { return sessions_.size(); }
    std::vector<SessionId> Ids() const;

private:
    std::size_t max_;
    hartip::InactivityBounds bounds_;
    std::map<SessionId, Session> sessions_;
    std::map<std::string, SessionId> byPeer_;
    SessionId next_ = 1;
    SessionId* idSource_;
};

} // namespace hartd
