#pragma once
// Tasks on the UI loop: C++20 coroutines.
//
//   Task<> refresh_loop(Signal<int> ticks) {
//       for (;;) {
//           co_await sleep(std::chrono::milliseconds(33));
//           ticks.update([](int& t) { ++t; });
//       }
//   }
//   spawn(refresh_loop(ticks));   // owned by the calling component
//
// `spawn` starts a task at once: it runs synchronously until its first
// suspension, then continues from the loop. A task spawned while a component
// renders, handles an event, runs an effect or runs a task of its own belongs
// to that component and is abandoned (its frame destroyed, it never resumes)
// when the component is removed. `spawn_root` gives it to the root instead.
//
// Awaitables: another Task<T>; sleep(d); timeout(d, task); spawn_blocking(fn)
// (runs on the blocking pool's threads, gives base::Result<R>: an exception in
// fn becomes its error); channel<T>() receivers; oneshot<T>() receivers;
// Pending<T> (a value resolved from anywhere, on any thread).
#include <coroutine>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/channel.h"
#include "base/result.h"
#include "reactive/loop.h"

namespace reactive {

class TaskScope;

namespace detail {

struct TaskState : std::enable_shared_from_this<TaskState> {
    std::coroutine_handle<> frame;  // the top frame (owned)
    TaskScope* scope = nullptr;
    Loop* loop = nullptr;
    bool running = false;
    bool cancelled = false;
    bool finished = false;
    // Reads of the first run (up to the first suspension) subscribe the
    // observer that spawned the task (resources); otherwise tasks read
    // without subscribing anything.
    bool track_first_run = false;

    // Resumes `h` (the top frame or a frame it awaits) on this thread.
    void resume(std::coroutine_handle<> h);
    void cancel();
    ~TaskState();

private:
    void finish();
};

// The task running on this thread (null outside tasks).
TaskState* current_task();

// Resumes `h` of `task` from the loop, unless the task was cancelled meanwhile.
void resume_later(Loop* loop, std::weak_ptr<TaskState> task, std::coroutine_handle<> h);

// The scope that `spawn` uses right now (set while a component renders or
// handles an event, while an effect or a task runs).
TaskScope* current_scope();
TaskScope* set_current_scope(TaskScope* s);
// The scope of the thread's root (fallback for spawn, and spawn_root).
TaskScope* root_scope();
void set_root_scope(TaskScope* s);

void log_task_failure(std::exception_ptr e);

}  // namespace detail

// ---- Task<T> ------------------------------------------------------------------

template <class T = void>
class Task;

namespace detail {
struct PromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr error;
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct Final {
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
            auto c = h.promise().continuation;
            return c ? c : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    Final final_suspend() noexcept { return {}; }
    void unhandled_exception() { error = std::current_exception(); }
};
template <class T>
struct Promise : PromiseBase {
    std::optional<T> value;
    Task<T> get_return_object();
    template <class V>
    void return_value(V&& v) {
        value.emplace(std::forward<V>(v));
    }
};
template <>
struct Promise<void> : PromiseBase {
    Task<void> get_return_object();
    void return_void() {}
};
}  // namespace detail

template <class T>
class [[nodiscard]] Task {
public:
    using promise_type = detail::Promise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    Task() = default;
    explicit Task(Handle h) : h_(h) {}
    Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Task& operator=(Task&& o) noexcept {
        if (this != &o) {
            if (h_) h_.destroy();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() {
        if (h_) h_.destroy();
    }

    bool await_ready() const noexcept { return !h_ || h_.done(); }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> parent) noexcept {
        h_.promise().continuation = parent;
        return h_;
    }
    T await_resume() {
        if (h_.promise().error) std::rethrow_exception(h_.promise().error);
        if constexpr (!std::is_void_v<T>) return std::move(*h_.promise().value);
    }

    Handle handle() const { return h_; }
    Handle release() { return std::exchange(h_, {}); }

private:
    Handle h_;
};

namespace detail {
template <class T>
Task<T> Promise<T>::get_return_object() {
    return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() {
    return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}
}  // namespace detail

// ---- scopes and spawning --------------------------------------------------------

// A handle on a spawned task.
class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::weak_ptr<detail::TaskState> s) : s_(std::move(s)) {}
    // Abandons the task (no-op when it ended already).
    void cancel() const;
    bool finished() const;  // ended, by completion or cancellation
    bool operator==(const TaskHandle& o) const { return !s_.owner_before(o.s_) && !o.s_.owner_before(s_); }

private:
    std::weak_ptr<detail::TaskState> s_;
};

// Owns tasks; dropping the scope abandons those still running.
class TaskScope {
public:
    TaskScope() = default;
    ~TaskScope();
    TaskScope(const TaskScope&) = delete;
    TaskScope& operator=(const TaskScope&) = delete;

    TaskHandle spawn(Task<void> task, bool track_first_run = false);
    void cancel_all();
    std::size_t size() const { return tasks_.size(); }

private:
    friend struct detail::TaskState;
    void remove(detail::TaskState* s);
    std::vector<std::shared_ptr<detail::TaskState>> tasks_;
};

// Spawns in the current scope (the component in charge; else the root's).
TaskHandle spawn(Task<void> task);
// Spawns in the root scope: lives as long as the root.
TaskHandle spawn_root(Task<void> task);

// ---- Pending<T> -----------------------------------------------------------------

// A value that arrives later, resolved once from any thread; awaiting it
// suspends the task until then. Copies share the value; awaited by one task.
template <class T>
class Pending {
    struct State {
        std::mutex mu;
        std::optional<T> value;
        bool waiting = false;
        std::weak_ptr<detail::TaskState> task;
        std::coroutine_handle<> h;
        Loop* loop = nullptr;
    };

public:
    Pending() : s_(std::make_shared<State>()) { s_->loop = current_loop(); }

    // First resolve wins; false for later ones.
    bool resolve(T v) const {
        std::weak_ptr<detail::TaskState> task;
        std::coroutine_handle<> h;
        Loop* loop;
        {
            std::lock_guard lk(s_->mu);
            if (s_->value) return false;
            s_->value.emplace(std::move(v));
            if (!s_->waiting) return true;
            s_->waiting = false;
            task = std::move(s_->task);
            h = s_->h;
            loop = s_->loop;
        }
        // A waiter that was abandoned meanwhile needs no wake-up (its loop
        // may be gone already).
        if (task.expired()) return true;
        detail::resume_later(loop, std::move(task), h);
        return true;
    }
    bool ready() const {
        std::lock_guard lk(s_->mu);
        return s_->value.has_value();
    }

    struct Awaiter {
        std::shared_ptr<State> s;
        bool await_ready() {
            std::lock_guard lk(s->mu);
            return s->value.has_value();
        }
        bool await_suspend(std::coroutine_handle<> h) {
            std::lock_guard lk(s->mu);
            if (s->value) return false;
            s->waiting = true;
            s->h = h;
            if (auto* t = detail::current_task()) s->task = t->weak_from_this();
            if (!s->loop) s->loop = current_loop();
            return true;
        }
        T await_resume() {
            std::lock_guard lk(s->mu);
            T v = std::move(*s->value);
            return v;
        }
    };
    Awaiter operator co_await() const { return Awaiter{s_}; }

private:
    std::shared_ptr<State> s_;
};

// ---- timers -----------------------------------------------------------------------

struct SleepAwaiter {
    Duration d;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h);
    void await_resume() const noexcept {}
};
inline SleepAwaiter sleep(Duration d) { return SleepAwaiter{d}; }

// Runs `task` for at most `d`: its value, or nothing when the time ran out
// (the task is then abandoned). For Task<void>: true when it finished.
template <class T>
Task<std::optional<T>> timeout(Duration d, Task<T> task) {
    Pending<std::optional<T>> done;
    auto runner = [](Task<T> t, Pending<std::optional<T>> p) -> Task<void> { p.resolve(co_await std::move(t)); };
    TaskHandle h = spawn(runner(std::move(task), done));
    if (Loop* loop = current_loop()) loop->post_after(d, [done] { done.resolve(std::nullopt); });
    auto r = co_await done;
    h.cancel();
    co_return r;
}
Task<bool> timeout(Duration d, Task<void> task);

// ---- blocking pool -----------------------------------------------------------------

namespace detail {
template <class R>
struct IsResult : std::false_type {};
template <class V>
struct IsResult<base::Result<V>> : std::true_type {};
// Runs `job` on one of the pool's threads.
void run_blocking(std::function<void()> job);
std::string exception_text(std::exception_ptr e);
}  // namespace detail

// Runs fn(args...) on the blocking pool; awaiting gives base::Result<R> (a
// function that returns a base::Result gives that result as it is).
template <class F, class... A>
auto spawn_blocking(F fn, A... args) {
    using R = std::invoke_result_t<F&, A&...>;
    using Out = std::conditional_t<detail::IsResult<R>::value, R, base::Result<R>>;
    Pending<Out> p;
    detail::run_blocking([p, fn = std::move(fn), ... args = std::move(args)]() mutable {
        try {
            if constexpr (std::is_void_v<R>) {
                fn(args...);
                p.resolve(Out{});
            } else {
                p.resolve(Out(fn(args...)));
            }
        } catch (...) {
            p.resolve(base::fail(detail::exception_text(std::current_exception())));
        }
    });
    return p;
}

// ---- channels -----------------------------------------------------------------------

namespace detail {
// A task awaiting recv() is resumed on its loop.
struct TaskWake {
    bool waiting = false;
    std::weak_ptr<TaskState> task;
    std::coroutine_handle<> h;
    Loop* loop = nullptr;

    void operator()(std::unique_lock<std::mutex>& lk) {
        if (!waiting) return;
        waiting = false;
        auto t = std::move(task);
        auto hh = h;
        auto l = loop;
        lk.unlock();
        if (!t.expired()) resume_later(l, std::move(t), hh);
    }
};
template <class T>
using AsyncChannelState = base::detail::ChannelCore<T, TaskWake>;
}  // namespace detail

template <class T>
class AsyncReceiver;

// Sending end of an unbounded channel; copyable, usable from any thread.
// send() is false once the receiver is gone.
template <class T>
class AsyncSender : public base::detail::ChannelSender<detail::AsyncChannelState<T>> {
public:
    using base::detail::ChannelSender<detail::AsyncChannelState<T>>::ChannelSender;
};

// Receiving end; `co_await rx.recv()` gives the next value, or nothing once
// every sender is gone and the queue is empty.
template <class T>
class AsyncReceiver {
public:
    AsyncReceiver() = default;
    AsyncReceiver(AsyncReceiver&&) noexcept = default;
    AsyncReceiver& operator=(AsyncReceiver&& o) noexcept {
        close();
        s_ = std::move(o.s_);
        return *this;
    }
    ~AsyncReceiver() { close(); }

    struct RecvAwaiter {
        detail::AsyncChannelState<T>* s;
        bool await_ready() {
            std::lock_guard lk(s->mu);
            return s->ready_locked();
        }
        bool await_suspend(std::coroutine_handle<> h) {
            std::lock_guard lk(s->mu);
            if (s->ready_locked()) return false;
            s->waker.waiting = true;
            s->waker.h = h;
            if (auto* t = detail::current_task()) s->waker.task = t->weak_from_this();
            s->waker.loop = current_loop();
            return true;
        }
        std::optional<T> await_resume() {
            std::lock_guard lk(s->mu);
            return s->pop_locked();
        }
    };
    RecvAwaiter recv() { return RecvAwaiter{s_.get()}; }
    // Without waiting: the next value if one is queued.
    std::optional<T> try_recv() {
        std::lock_guard lk(s_->mu);
        return s_->pop_locked();
    }
    bool closed() const {
        std::lock_guard lk(s_->mu);
        return s_->queue.empty() && s_->senders == 0;
    }

private:
    template <class U>
    friend std::pair<AsyncSender<U>, AsyncReceiver<U>> channel();
    explicit AsyncReceiver(std::shared_ptr<detail::AsyncChannelState<T>> s) : s_(std::move(s)) {}
    void close() {
        if (!s_) return;
        s_->close_receiver();
        s_.reset();
    }
    std::shared_ptr<detail::AsyncChannelState<T>> s_;
};

template <class T>
std::pair<AsyncSender<T>, AsyncReceiver<T>> channel() {
    auto s = std::make_shared<detail::AsyncChannelState<T>>();
    s->waker.loop = current_loop();
    return {AsyncSender<T>(s), AsyncReceiver<T>(s)};
}

// One-shot: one value, once; the receiver sees a sender dropped unsent.
template <class T>
class OneshotReceiver;
template <class T>
class OneshotSender {
public:
    OneshotSender() = default;
    OneshotSender(OneshotSender&& o) noexcept : p_(std::move(o.p_)) { o.p_.reset(); }
    OneshotSender& operator=(OneshotSender&& o) noexcept {
        if (this != &o) {
            drop();
            p_ = std::move(o.p_);
            o.p_.reset();
        }
        return *this;
    }
    ~OneshotSender() { drop(); }
    // Consumes the sender.
    void send(T v) {
        if (p_) p_->resolve(std::optional<T>(std::move(v)));
        p_.reset();
    }
    explicit operator bool() const { return p_.has_value(); }

private:
    template <class U>
    friend std::pair<OneshotSender<U>, OneshotReceiver<U>> oneshot();
    explicit OneshotSender(Pending<std::optional<T>> p) : p_(std::move(p)) {}
    void drop() {
        if (p_) p_->resolve(std::nullopt);
        p_.reset();
    }
    std::optional<Pending<std::optional<T>>> p_;
};
template <class T>
class OneshotReceiver {
public:
    // Awaiting gives the value, or nothing when the sender was dropped unsent.
    auto operator co_await() const { return p_.operator co_await(); }
    bool ready() const { return p_.ready(); }

private:
    template <class U>
    friend std::pair<OneshotSender<U>, OneshotReceiver<U>> oneshot();
    explicit OneshotReceiver(Pending<std::optional<T>> p) : p_(std::move(p)) {}
    Pending<std::optional<T>> p_;
};
template <class T>
std::pair<OneshotSender<T>, OneshotReceiver<T>> oneshot() {
    Pending<std::optional<T>> p;
    return {OneshotSender<T>(p), OneshotReceiver<T>(p)};
}

}  // namespace reactive
