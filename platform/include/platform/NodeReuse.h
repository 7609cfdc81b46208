/*
 * Spare nodes for a node-based standard container whose entries come and go
 * at a steady count (timers, live objects, pool blocks): an erased entry's
 * node is kept and filled with the next entry, so the steady state allocates
 * nothing. The container's own extract and insert do the work.
 */
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace platform {

template <typename Container, std::size_t Limit = 64>
class NodeReuse {
public:
    using Node = typename Container::node_type;

    NodeReuse() { spare_.reserve(Limit); }

    /* Takes the node of an extracted entry; the caller has emptied what it
       holds, so that a kept node owns nothing but its memory. */
    void Keep(Node node)
    {
        if (!node.empty() && spare_.size() < Limit) {
            spare_.push_back(std::move(node));
        }
    }

    /* Puts a set's value into container, in a kept node when there is one. */
    template <typename Value>
    void Insert(Container& container, Value&& value)
    {
        if (Node node = Take()) {
            node.value() = std::forward<Value>(value);
            container.insert(std::move(node));
        } else {
            container.insert(std::forward<Value>(value));
        }
    }

    /* Puts a map's entry into container, in a kept node when there is one. */
    template <typename Key, typename Mapped>
    void Insert(Container& container, Key&& key, Mapped&& mapped)
    {
        if (Node node = Take()) {
            node.key() = std::forward<Key>(key);
            node.mapped() = std::forward<Mapped>(mapped);
            container.insert(std::move(node));
        } else {
            container.emplace(std::forward<Key>(key), std::forward<Mapped>(mapped));
        }
    }

    /* An empty handle when none is kept. */
    Node Take()
    {
        if (spare_.empty()) {
            return Node{};
        }
        Node node = std::move(spare_.back());
        spare_.pop_back();
        return node;
    }

    std::size_t Kept() const { return spare_.size(); }

private:
    std::vector<Node> spare_;
};

} // namespace platform
