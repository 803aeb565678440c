// An append-only record (property writes, log entries, service events): a
// room adds from any of its threads, the control channel reads from an index
// on. Items keep their index for good, which is what lets the caller fetch
// only what is new. Its lock is taken last, after any lock of a room.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>

#include "channel/requests.h"
#include "channel/wire.h"

namespace sim::detail {

template <class T>
class Journal {
public:
    void add(T item)
    {
        std::lock_guard lk(mu_);
        items_.push_back(std::move(item));
    }
    // The items from index `from` on, as many as fit in a reply.
    wire::Chunk<T> chunk(size_t from) const
    {
        wire::Chunk<T> c;
        wire::Writer sized; // what the items take on the wire
        std::lock_guard lk(mu_);
        for (size_t i = from; i < items_.size(); ++i) {
            if (sized.size() >= wire::kChunk) {
                c.more = true;
                break;
            }
            wire::put(sized, items_[i]);
            c.items.push_back(items_[i]);
        }
        return c;
    }

private:
    mutable std::mutex mu_;
    std::deque<T> items_;
};

} // namespace sim::detail
