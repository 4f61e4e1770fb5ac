#include "scheduler.h"

#include <ctime>

namespace ksim {

Micros monotonicMicros()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Micros>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

Scheduler::TimerId Scheduler::at(Micros when, std::function<void()> action)
{
    const TimerId id = nextId_++;
    timers_.emplace(Key(when, id), std::move(action));
    dueById_.emplace(id, when);
    return id;
}

Scheduler::TimerId Scheduler::after(Micros delay, std::function<void()> action)
{
    return at(now() + (delay > 0 ? delay : 0), std::move(action));
}

void Scheduler::cancel(TimerId id)
{
    const auto found = dueById_.find(id);
    if (found == dueById_.end())
        return;
    timers_.erase(Key(found->second, id));
    dueById_.erase(found);
}

Micros Scheduler::nextDue() const
{
    return timers_.empty() ? -1 : timers_.begin()->first.first;
}

void Scheduler::runDue()
{
    // Bounded so that a timer which keeps re-arming itself at "now" cannot starve the poll loop.
    for (int budget = 100000; budget > 0 && !timers_.empty(); --budget) {
        const auto first = timers_.begin();
        if (first->first.first > monotonicMicros())
            return;
        std::function<void()> action = std::move(first->second);
        running_ = first->first.first;
        dueById_.erase(first->first.second);
        timers_.erase(first);
        action();
        running_ = -1;
    }
}

} // namespace ksim
