#include "queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "posix.h"

namespace sim::detail {

InitQueue::InitQueue()
{
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    must(wake_ >= 0, "eventfd");
}

InitQueue::~InitQueue()
{
    close(wake_);
}

void InitQueue::wake()
{
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
}

void InitQueue::queue_control(PendingControl c)
{
    std::lock_guard lk(mu_);
    controls_.push_back(std::move(c));
    wake();
}

void InitQueue::property_changed(const std::string &name, const std::string &value)
{
    std::lock_guard lk(mu_);
    changes_.emplace_back(name, value);
    wake();
}

std::vector<std::pair<std::string, std::string>> InitQueue::take_changes()
{
    uint64_t n;
    (void)!read(wake_, &n, sizeof n);
    std::lock_guard lk(mu_);
    return std::exchange(changes_, {});
}

std::optional<PendingControl> InitQueue::take_control()
{
    std::lock_guard lk(mu_);
    if (controls_.empty())
        return std::nullopt;
    PendingControl c = std::move(controls_.front());
    controls_.pop_front();
    if (!controls_.empty())
        wake();
    return c;
}

} // namespace sim::detail
