#pragma once
// Channels between threads.
//
// channel<T>(): unbounded, many senders (Sender is copyable), one receiver.
//   - send() fails (returns false) once the receiver is gone;
//   - recv() blocks for the next value and gives nothing once every sender is
//     gone and the queue is empty.
// oneshot<T>(): one value, once; the receiver sees a sender dropped unsent.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace base {

enum class RecvStatus { Value, Empty, Closed };

template <class T>
struct TryRecv {
    RecvStatus status;
    std::optional<T> value;
    explicit operator bool() const { return status == RecvStatus::Value; }
};

namespace detail {

// What both ends of an unbounded channel share, whoever waits on it (a thread
// here, a task of the interface framework there): the queue, the number of
// senders and whether the receiver is still there. `Wake` is called with the
// lock held when a value arrives or the last sender goes; it may release the
// lock.
template <class T, class Wake>
struct ChannelCore {
    using value_type = T;
    std::mutex mu;
    std::deque<T> queue;
    std::size_t senders = 0;
    bool receiver_alive = true;
    Wake waker;

    void add_sender() {
        std::lock_guard lk(mu);
        ++senders;
    }
    void drop_sender() {
        std::unique_lock lk(mu);
        if (--senders == 0) waker(lk);
    }
    // False when the receiver has been dropped (the value is discarded).
    template <class U>
    bool push(U&& v) {
        std::unique_lock lk(mu);
        if (!receiver_alive) return false;
        queue.push_back(std::forward<U>(v));
        waker(lk);
        return true;
    }
    bool receiver_gone() {
        std::lock_guard lk(mu);
        return !receiver_alive;
    }
    // The receiver goes: later sends fail; queued values are destroyed
    // outside the lock.
    void close_receiver() {
        std::deque<T> drop;
        std::lock_guard lk(mu);
        receiver_alive = false;
        drop.swap(queue);
    }

    // With the lock held.
    bool ready_locked() const { return !queue.empty() || senders == 0; }
    std::optional<T> pop_locked() {
        if (queue.empty()) return std::nullopt;
        std::optional<T> v(std::move(queue.front()));
        queue.pop_front();
        return v;
    }
    TryRecv<T> try_locked() {
        if (!queue.empty()) return {RecvStatus::Value, pop_locked()};
        return {senders == 0 ? RecvStatus::Closed : RecvStatus::Empty, std::nullopt};
    }
};

// The sending end over a core: copyable (each copy counts as a sender),
// usable from any thread.
template <class Core>
class ChannelSender {
public:
    ChannelSender() = default;
    explicit ChannelSender(std::shared_ptr<Core> s) : s_(std::move(s)) { acquire(); }
    ChannelSender(const ChannelSender& o) : s_(o.s_) { acquire(); }
    ChannelSender(ChannelSender&& o) noexcept : s_(std::move(o.s_)) {}
    ChannelSender& operator=(const ChannelSender& o) {
        if (this != &o) {
            release();
            s_ = o.s_;
            acquire();
        }
        return *this;
    }
    ChannelSender& operator=(ChannelSender&& o) noexcept {
        if (this != &o) {
            release();
            s_ = std::move(o.s_);
        }
        return *this;
    }
    ~ChannelSender() { release(); }

    // False when the receiver has been dropped (the value is discarded).
    bool send(typename Core::value_type&& v) const { return s_ && s_->push(std::move(v)); }
    bool send(const typename Core::value_type& v) const { return s_ && s_->push(v); }
    bool is_closed() const { return !s_ || s_->receiver_gone(); }
    explicit operator bool() const { return static_cast<bool>(s_); }

private:
    void acquire() {
        if (s_) s_->add_sender();
    }
    void release() {
        if (s_) s_->drop_sender();
        s_.reset();
    }
    std::shared_ptr<Core> s_;
};

// A thread blocked in recv() waits on a condition variable.
struct ThreadWake {
    std::condition_variable cv;
    void operator()(std::unique_lock<std::mutex>& lk) {
        lk.unlock();
        cv.notify_all();
    }
};

template <class T>
using ChannelState = ChannelCore<T, ThreadWake>;

}  // namespace detail

template <class T>
class Receiver;

template <class T>
class Sender : public detail::ChannelSender<detail::ChannelState<T>> {
public:
    using detail::ChannelSender<detail::ChannelState<T>>::ChannelSender;
};

template <class T>
class Receiver {
public:
    Receiver() = default;
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& o) noexcept {
        if (this != &o) { close(); s_ = std::move(o.s_); }
        return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { close(); }

    // Blocks for the next value; nothing once all senders are gone.
    std::optional<T> recv() {
        if (!s_) return std::nullopt;
        std::unique_lock lk(s_->mu);
        s_->waker.cv.wait(lk, [&] { return s_->ready_locked(); });
        return s_->pop_locked();
    }
    template <class Rep, class Period>
    TryRecv<T> recv_timeout(std::chrono::duration<Rep, Period> d) {
        if (!s_) return {RecvStatus::Closed, std::nullopt};
        std::unique_lock lk(s_->mu);
        s_->waker.cv.wait_for(lk, d, [&] { return s_->ready_locked(); });
        return s_->try_locked();
    }
    TryRecv<T> try_recv() {
        if (!s_) return {RecvStatus::Closed, std::nullopt};
        std::lock_guard lk(s_->mu);
        return s_->try_locked();
    }
    explicit operator bool() const { return static_cast<bool>(s_); }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> channel();
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) {}
    void close() {
        if (!s_) return;
        s_->close_receiver();
        s_.reset();
    }
    std::shared_ptr<detail::ChannelState<T>> s_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> channel() {
    auto s = std::make_shared<detail::ChannelState<T>>();
    return {Sender<T>(s), Receiver<T>(s)};
}

// ---- one-shot ---------------------------------------------------------------

namespace detail {
template <class T>
struct OneshotState {
    std::mutex mu;
    std::condition_variable cv;
    std::optional<T> value;
    bool sender_alive = true;
    bool receiver_alive = true;
};
}  // namespace detail

template <class T>
class OneshotReceiver;

template <class T>
class OneshotSender {
public:
    OneshotSender() = default;
    OneshotSender(OneshotSender&&) noexcept = default;
    OneshotSender& operator=(OneshotSender&& o) noexcept {
        if (this != &o) { drop(); s_ = std::move(o.s_); }
        return *this;
    }
    ~OneshotSender() { drop(); }

    // Consumes the sender; false when the receiver is gone.
    bool send(T v) {
        if (!s_) return false;
        bool ok;
        {
            std::lock_guard lk(s_->mu);
            ok = s_->receiver_alive;
            if (ok) s_->value.emplace(std::move(v));
            s_->sender_alive = false;
        }
        s_->cv.notify_all();
        s_.reset();
        return ok;
    }
    bool is_closed() const {
        if (!s_) return true;
        std::lock_guard lk(s_->mu);
        return !s_->receiver_alive;
    }
    explicit operator bool() const { return static_cast<bool>(s_); }

private:
    template <class U>
    friend std::pair<OneshotSender<U>, OneshotReceiver<U>> oneshot();
    explicit OneshotSender(std::shared_ptr<detail::OneshotState<T>> s) : s_(std::move(s)) {}
    void drop() {
        if (!s_) return;
        {
            std::lock_guard lk(s_->mu);
            s_->sender_alive = false;
        }
        s_->cv.notify_all();
        s_.reset();
    }
    std::shared_ptr<detail::OneshotState<T>> s_;
};

template <class T>
class OneshotReceiver {
public:
    OneshotReceiver() = default;
    OneshotReceiver(OneshotReceiver&&) noexcept = default;
    OneshotReceiver& operator=(OneshotReceiver&& o) noexcept {
        if (this != &o) { drop(); s_ = std::move(o.s_); }
        return *this;
    }
    ~OneshotReceiver() { drop(); }

    // Blocks until the value arrives; nothing when the sender was dropped unsent.
    std::optional<T> recv() {
        if (!s_) return std::nullopt;
        std::unique_lock lk(s_->mu);
        s_->cv.wait(lk, [&] { return s_->value.has_value() || !s_->sender_alive; });
        return take_locked();
    }
    template <class Rep, class Period>
    TryRecv<T> recv_timeout(std::chrono::duration<Rep, Period> d) {
        if (!s_) return {RecvStatus::Closed, std::nullopt};
        std::unique_lock lk(s_->mu);
        s_->cv.wait_for(lk, d, [&] { return s_->value.has_value() || !s_->sender_alive; });
        return try_locked();
    }
    TryRecv<T> try_recv() {
        if (!s_) return {RecvStatus::Closed, std::nullopt};
        std::lock_guard lk(s_->mu);
        return try_locked();
    }

private:
    template <class U>
    friend std::pair<OneshotSender<U>, OneshotReceiver<U>> oneshot();
    explicit OneshotReceiver(std::shared_ptr<detail::OneshotState<T>> s) : s_(std::move(s)) {}
    std::optional<T> take_locked() {
        std::optional<T> v = std::move(s_->value);
        s_->value.reset();
        return v;
    }
    TryRecv<T> try_locked() {
        if (s_->value) return {RecvStatus::Value, take_locked()};
        return {s_->sender_alive ? RecvStatus::Empty : RecvStatus::Closed, std::nullopt};
    }
    void drop() {
        if (!s_) return;
        std::lock_guard lk(s_->mu);
        s_->receiver_alive = false;
        s_->value.reset();
        // s_ released after unlocking by the shared_ptr below
    }
    std::shared_ptr<detail::OneshotState<T>> s_;
};

template <class T>
std::pair<OneshotSender<T>, OneshotReceiver<T>> oneshot() {
    auto s = std::make_shared<detail::OneshotState<T>>();
    return {OneshotSender<T>(s), OneshotReceiver<T>(s)};
}

}  // namespace base
