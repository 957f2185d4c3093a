#include "reactive/loop.h"

#include <utility>

namespace reactive {

namespace {
thread_local Loop* t_loop = nullptr;
}

Loop* current_loop() { return t_loop; }

Loop* set_current_loop(Loop* loop) {
    Loop* prev = t_loop;
    t_loop = loop;
    return prev;
}

ManualLoop::ManualLoop() { previous_ = set_current_loop(this); }

ManualLoop::~ManualLoop() {
    if (current_loop() == this) set_current_loop(previous_);
}

void ManualLoop::post(std::function<void()> fn) {
    std::lock_guard lk(mu_);
    queue_.push_back(std::move(fn));
}

void ManualLoop::post_after(Duration delay, std::function<void()> fn) {
    std::lock_guard lk(mu_);
    if (delay < Duration::zero()) delay = Duration::zero();
    timers_.emplace(now_ + delay, std::move(fn));
}

Instant ManualLoop::now() const {
    std::lock_guard lk(mu_);
    return now_;
}

std::size_t ManualLoop::run_until_idle() {
    std::size_t n = 0;
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lk(mu_);
            if (!queue_.empty()) {
                fn = std::move(queue_.front());
                queue_.pop_front();
            } else if (!timers_.empty() && timers_.begin()->first <= now_) {
                fn = std::move(timers_.begin()->second);
                timers_.erase(timers_.begin());
            } else {
                return n;
            }
        }
        fn();
        ++n;
    }
}

std::size_t ManualLoop::advance(Duration d) {
    Instant target;
    {
        std::lock_guard lk(mu_);
        target = now_ + d;
    }
    std::size_t n = run_until_idle();
    for (;;) {
        {
            std::lock_guard lk(mu_);
            if (timers_.empty() || timers_.begin()->first > target) {
                now_ = target;
                break;
            }
            now_ = timers_.begin()->first;
        }
        n += run_until_idle();
    }
    return n + run_until_idle();
}

bool ManualLoop::advance_to_next_timer() {
    {
        std::lock_guard lk(mu_);
        if (timers_.empty()) return false;
        if (timers_.begin()->first > now_) now_ = timers_.begin()->first;
    }
    run_until_idle();
    return true;
}

std::size_t ManualLoop::pending_timers() const {
    std::lock_guard lk(mu_);
    return timers_.size();
}

}  // namespace reactive
