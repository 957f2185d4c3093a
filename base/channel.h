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

template <class T>
struct ChannelState {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<T> queue;
    std::size_t senders = 0;
    bool receiver_alive = true;
};

}  // namespace detail

template <class T>
class Receiver;

template <class T>
class Sender {
public:
    Sender() = default;
    Sender(const Sender& o) : s_(o.s_) { acquire(); }
    Sender(Sender&& o) noexcept : s_(std::move(o.s_)) {}
    Sender& operator=(const Sender& o) {
        if (this != &o) { release(); s_ = o.s_; acquire(); }
        return *this;
    }
    Sender& operator=(Sender&& o) noexcept {
        if (this != &o) { release(); s_ = std::move(o.s_); }
        return *this;
    }
    ~Sender() { release(); }

    // False when the receiver has been dropped (the value is discarded).
    bool send(T v) const {
        if (!s_) return false;
        {
            std::lock_guard lk(s_->mu);
            if (!s_->receiver_alive) return false;
            s_->queue.push_back(std::move(v));
        }
        s_->cv.notify_one();
        return true;
    }
    bool is_closed() const {
        if (!s_) return true;
        std::lock_guard lk(s_->mu);
        return !s_->receiver_alive;
    }
    explicit operator bool() const { return static_cast<bool>(s_); }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> channel();
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) { acquire(); }
    void acquire() {
        if (!s_) return;
        std::lock_guard lk(s_->mu);
        ++s_->senders;
    }
    void release() {
        if (!s_) return;
        bool last;
        {
            std::lock_guard lk(s_->mu);
            last = --s_->senders == 0;
        }
        if (last) s_->cv.notify_all();
        s_.reset();
    }
    std::shared_ptr<detail::ChannelState<T>> s_;
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
        s_->cv.wait(lk, [&] { return !s_->queue.empty() || s_->senders == 0; });
        return pop_locked();
    }
    template <class Rep, class Period>
    TryRecv<T> recv_timeout(std::chrono::duration<Rep, Period> d) {
        if (!s_) return {RecvStatus::Closed, std::nullopt};
        std::unique_lock lk(s_->mu);
        s_->cv.wait_for(lk, d, [&] { return !s_->queue.empty() || s_->senders == 0; });
        return try_locked();
    }
    TryRecv<T> try_recv() {
        if (!s_) return {RecvStatus::Closed, std::nullopt};
        std::lock_guard lk(s_->mu);
        return try_locked();
    }
    explicit operator bool() const { return static_cast<bool>(s_); }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> channel();
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) {}
    std::optional<T> pop_locked() {
        if (s_->queue.empty()) return std::nullopt;
        std::optional<T> v(std::move(s_->queue.front()));
        s_->queue.pop_front();
        return v;
    }
    TryRecv<T> try_locked() {
        if (!s_->queue.empty()) return {RecvStatus::Value, pop_locked()};
        return {s_->senders == 0 ? RecvStatus::Closed : RecvStatus::Empty, std::nullopt};
    }
    void close() {
        if (!s_) return;
        std::deque<T> drop;
        {
            std::lock_guard lk(s_->mu);
            s_->receiver_alive = false;
            drop.swap(s_->queue);  // values are destroyed outside the lock
        }
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
