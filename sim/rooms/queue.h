// What other threads hand to init's main loop: ctl.* writes, answered only
// once the loop has handled them, one a turn as init does; and property
// changes, which the loop matches against the .rc files' triggers.
//
// Threads: the property service's thread queues; the main loop takes. mu_
// guards both queues; the eventfd wakes the loop.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "ports.h"

namespace sim::detail {

class InitQueue final : public MainLoopPort {
public:
    InitQueue();
    ~InitQueue();
    InitQueue(const InitQueue &) = delete;
    InitQueue &operator=(const InitQueue &) = delete;

    void queue_control(PendingControl c) override;
    void property_changed(const std::string &name, const std::string &value) override;

    // --- the main loop
    // Readable when something waits.
    int fd() const { return wake_; }
    // The changes in the order they were made.
    std::vector<std::pair<std::string, std::string>> take_changes();
    // The oldest ctl.* write; the loop is woken again while more wait.
    std::optional<PendingControl> take_control();

private:
    void wake();

    int wake_ = -1;
    std::mutex mu_;
    std::deque<PendingControl> controls_;
    std::vector<std::pair<std::string, std::string>> changes_;
};

} // namespace sim::detail
