#include "Sessions.h"

#include <algorithm>

namespace hartd {

InitiateOutcome SessionTable::Initiate(const std::string& peer, const hartip::InitiateBody& body, Time now)
{
    InitiateOutcome outcome;
    outcome.granted = body;
    if (body.masterType > 1) {
        outcome.status = hartip::status::kInvalidSelection;
        return outcome;
    }
    const std::chrono::milliseconds asked{body.inactivityMs};
    const std::chrono::milliseconds granted = std::clamp(asked, bounds_.minimum, bounds_.maximum);
    outcome.granted.inactivityMs = static_cast<std::uint32_t>(granted.count());
    outcome.status = granted == asked ? hartip::status::kSuccess : hartip::status::kSetToNearest;

    Session* session = FindByPeer(peer);
    if (session == nullptr) {
        if (sessions_.size() >= max_) {
            outcome.status = hartip::status::kSessionsInUse;
            return outcome;
        }
        const SessionId id = idSource_ != nullptr ? (*idSource_)++ : next_++;
        session = &sessions_[id];
        session->id = id;
        session->peer = peer;
        byPeer_[peer] = id;
    } else {
        outcome.renewed = true;
    }
    session->primary = body.masterType == 1;
    session->inactivity = granted;
    session->deadline = now + granted;
    outcome.session = session->id;
    return outcome;
}

Session* SessionTable::Find(SessionId id)
{
    auto found = sessions_.find(id);
    return found == sessions_.end() ? nullptr : &found->second;
}

Session* SessionTable::FindByPeer(const std::string& peer)
{
    auto found = byPeer_.find(peer);
    return found == byPeer_.end() ? nullptr : Find(found->second);
}

void SessionTable::Touch(SessionId id, Time now)
{
    if (Session* session = Find(id)) {
        session->deadline = now + session->inactivity;
    }
}

void SessionTable::Close(SessionId id)
{
    auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        return;
    }
    byPeer_.erase(found->second.peer);
    sessions_.erase(found);
}

std::vector<Session> SessionTable::Expire(Time now)
{
    std::vector<Session> expired;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        Session& session = it->second;
        if (session.deadline > now) {
            ++it;
            continue;
        }
        if (session.pending > 0) {
            session.deadline = now + session.inactivity;
            ++it;
            continue;
        }
        expired.push_back(session);
        byPeer_.erase(session.peer);
        it = sessions_.erase(it);
    }
    return expired;
}

std::optional<Time> SessionTable::NextDeadline() const
{
    std::optional<Time> next;
    for (const auto& [id, session] : sessions_) {
        if (!next || session.deadline < *next) {
            next = session.deadline;
        }
    }
    return next;
}

std::vector<SessionId> SessionTable::Ids() const
{
    std::vector<SessionId> ids;
    for (const auto& [id, session] : sessions_) {
        ids.push_back(id);
    }
    return ids;
}

} // namespace hartd
