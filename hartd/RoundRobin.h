/*
 * The requests waiting for one port's line, one queue per session, taken a
 * session at a time in turn: a session with many requests queued gets one
 * line transaction per round like every other, so it cannot starve them.
 * Each session's queue is bounded, so a flooding session is told "busy"
 * instead of growing the server's memory. Standard library only.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace hartd {

template <typename Item>
class RoundRobin {
public:
    explicit RoundRobin(std::size_t perSession) : perSession_(perSession) {}

    /* False when the session's queue is full; the item is not taken then. */
    bool Push(std::uint32_t session, Item item)
    {
        std::deque<Item>& queue = queues_[session];
        if (queue.size() >= perSession_) {
            return false;
        }
        if (queue.empty()) {
            turn_.push_back(session);
        }
        queue.push_back(std::move(item));
        size_++;
        return true;
    }

    /* The next session's oldest item; nullopt when nothing waits. */
    std::optional<std::pair<std::uint32_t, Item>> Pop()
    {
        if (turn_.empty()) {
            return std::nullopt;
        }
        const std::uint32_t session = turn_.front();
        turn_.pop_front();
        std::deque<Item>& queue = queues_[session];
        std::pair<std::uint32_t, Item> next{session, std::move(queue.front())};
        queue.pop_front();
        size_--;
        if (queue.empty()) {
            queues_.erase(session);
        } else {
            turn_.push_back(session);
        }
        return next;
    }

    /* The session's waiting items, taken out of the queue. */
    std::vector<Item> Drop(std::uint32_t session)
    {
        std::vector<Item> dropped;
        auto found = queues_.find(session);
        if (found == queues_.end()) {
            return dropped;
        }
        for (Item& item : found->second) {
            dropped.push_back(std::move(item));
        }
        size_ -= dropped.size();
        queues_.erase(found);
        for (auto it = turn_.begin(); it != turn_.end(); ++it) {
            if (*it == session) {
                turn_.erase(it);
                break;
            }
        }
        return dropped;
    }

    std::size_t Queued(std::uint32_t session) const
    {
        auto found = queues_.find(session);
        return found == queues_.end() ? 0 : found->second.size();
    }
    std::size_t Size() const { return size_; }
    bool Empty() const { return size_ == 0; }

private:
    std::size_t perSession_;
    std::map<std::uint32_t, std::deque<Item>> queues_;
    /* Sessions with something queued, in the order they are served. */
    std::deque<std::uint32_t> turn_;
    std::size_t size_ = 0;
};

} // namespace hartd
