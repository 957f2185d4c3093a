#pragma once
// The UI loop as the reactive runtime sees it.
//
// Everything reactive (signals, components, tasks) lives on one thread, the
// UI thread. Work reaches it through a Loop: `post` may be called from any
// thread; the callback runs later on the UI thread, in posting order.
// `post_after` runs a callback once a delay has passed on the loop's clock.
//
// The desktop runtime supplies the real loop (GLib); tests use ManualLoop,
// whose clock only moves when the test advances it.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace reactive {

using Clock = std::chrono::steady_clock;
using Duration = std::chrono::nanoseconds;
using Instant = std::chrono::time_point<Clock, Duration>;

class Loop {
public:
    virtual ~Loop() = default;
    // Thread-safe: run `fn` on the UI thread, after what was posted before it.
    virtual void post(std::function<void()> fn) = 0;
    // Thread-safe: run `fn` on the UI thread once `delay` has passed.
    virtual void post_after(Duration delay, std::function<void()> fn) = 0;
    // The loop's monotonic clock.
    virtual Instant now() const = 0;
};

// The loop of the calling thread (null when none is installed). A Root
// installs its loop for the thread that created it; tasks, channels and timers
// created on that thread find it here.
Loop* current_loop();
// Installs `loop` for the calling thread; returns the previous one.
Loop* set_current_loop(Loop* loop);

// A loop driven by hand, with a virtual clock starting at zero.
class ManualLoop final : public Loop {
public:
    ManualLoop();
    ~ManualLoop() override;
    void post(std::function<void()> fn) override;
    void post_after(Duration delay, std::function<void()> fn) override;
    Instant now() const override;

    // Runs posted callbacks (and those they post) until none is left; timers
    // due at the current time run too. Returns how many ran.
    std::size_t run_until_idle();
    // Moves the clock forward by `d`, running every timer that falls due on
    // the way (in time order, at its own time) and the callbacks they post.
    std::size_t advance(Duration d);
    // Runs timers up to the next one due (moves the clock there). False when
    // no timer is pending.
    bool advance_to_next_timer();
    std::size_t pending_timers() const;

private:
    mutable std::mutex mu_;
    std::deque<std::function<void()>> queue_;
    std::multimap<Instant, std::function<void()>> timers_;
    Instant now_{};
    Loop* previous_ = nullptr;
};

}  // namespace reactive
