// An append-only record (property writes, log entries, service events): a
// room adds from any of its threads, the control channel reads from an index
// on. Items keep their index for good, which is what lets the caller fetch
// only what is new. Its lock is taken last, after any lock of a room.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace sim::detail {

template <class T>
class Journal {
public:
    void add(T item)
    {
        std::lock_guard lk(mu_);
        items_.push_back(std::move(item));
    }
    // Calls take on each item from index `from` on until it returns false.
    // The journal's lock is held meanwhile: take must not call back into a room.
    void read_from(size_t from, const std::function<bool(const T &)> &take) const
    {
        std::lock_guard lk(mu_);
        for (size_t i = from; i < items_.size() && take(items_[i]); ++i) {
        }
    }

private:
    mutable std::mutex mu_;
    std::deque<T> items_;
};

} // namespace sim::detail
