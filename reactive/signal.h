#pragma once
// Reactive cells of the UI thread: Signal, Store, Memo and the effect and
// render observers that subscribe to them.
//
// Reading a cell with `()` (or `read`, `get`) while a render, memo or effect
// runs subscribes that observer; `peek` reads without subscribing. Every write
// notifies the subscribers: a render observer marks its component for the
// next render pass, an effect is queued to run after it, a memo becomes stale
// and is recomputed the next time someone needs its value (its own readers
// are woken only if the recomputed value differs).
//
// All of it belongs to the UI thread; nothing here is locked.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace reactive {

namespace detail {

struct Observer;

// Something that can be read and subscribed to.
struct Source {
    std::vector<Observer*> subs;

    Source() = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    virtual ~Source();

    // Subscribes the running observer, if any.
    void track();
    // Marks every subscriber dirty.
    void notify();
    // Marks every subscriber as "maybe dirty" (a memo it reads went stale).
    void notify_check();
    // Memos recompute here when stale; plain cells do nothing.
    virtual void update_if_stale() {}
};

enum class ObsState : std::uint8_t { Clean = 0, Check = 1, Dirty = 2 };

// Something that reads sources and reacts when they change.
struct Observer {
    std::vector<Source*> deps;
    ObsState state = ObsState::Clean;

    Observer() = default;
    Observer(const Observer&) = delete;
    Observer& operator=(const Observer&) = delete;
    virtual ~Observer();

    // Raises the state; `on_mark` runs when it rose.
    void mark(ObsState s);
    // Drops every subscription.
    void clear_deps();
    // For a "maybe dirty" observer: lets the memos it read recompute; true
    // when one of them changed (or the observer was dirty already). Leaves the
    // observer clean otherwise.
    bool confirm_dirty();

protected:
    virtual void on_mark(ObsState previous) = 0;
};

Observer* current_observer();
Observer* set_current_observer(Observer* o);

// Runs the enclosed reads as observer `o` (null: reads subscribe nothing).
class Tracking {
public:
    explicit Tracking(Observer* o) : prev_(set_current_observer(o)) {}
    ~Tracking() { set_current_observer(prev_); }
    Tracking(const Tracking&) = delete;
    Tracking& operator=(const Tracking&) = delete;

private:
    Observer* prev_;
};

// Effects waiting to run, and the hook that asks the runtime to flush them.
struct EffectState;
void queue_effect(const std::shared_ptr<EffectState>& e);
// Runs queued effects until none is left (also those queued meanwhile).
// Returns how many ran.
std::size_t run_queued_effects();
bool effects_pending();
// Called whenever something needs a flush (a component or effect became
// dirty). The Root installs it for its thread.
void set_flush_requester(std::function<void()> fn);
void request_flush();

struct EffectState final : Observer, std::enable_shared_from_this<EffectState> {
    std::function<void()> fn;
    bool queued = false;
    bool alive = true;
    void run();

protected:
    void on_mark(ObsState previous) override;
};

}  // namespace detail

// Runs `fn` without subscribing the running observer to what it reads.
template <class F>
decltype(auto) untrack(F&& fn) {
    detail::Tracking t(nullptr);
    return std::forward<F>(fn)();
}

// ---- Signal -------------------------------------------------------------

// A value cell. Copies of a Signal share one cell (a handle); handles compare
// by identity.
template <class T>
class Signal {
    struct State final : detail::Source {
        T value;
        template <class... A>
        explicit State(A&&... a) : value(std::forward<A>(a)...) {}
    };

public:
    Signal() : s_(std::make_shared<State>()) {}
    explicit Signal(T value) : s_(std::make_shared<State>(std::move(value))) {}

    // Reads and subscribes the running observer.
    const T& operator()() const { return read(); }
    const T& read() const {
        s_->track();
        return s_->value;
    }
    // Reads without subscribing.
    const T& peek() const { return s_->value; }

    // Replaces the value; always notifies.
    void set(T value) const {
        s_->value = std::move(value);
        s_->notify();
    }
    // Changes the value in place; one notification.
    template <class F>
    void update(F&& fn) const {
        std::forward<F>(fn)(s_->value);
        s_->notify();
    }
    // Write guard: `->` and `*` give the value; one notification when it ends.
    class WriteGuard {
    public:
        T* operator->() { return &s_->value; }
        T& operator*() { return s_->value; }
        WriteGuard(const WriteGuard&) = delete;
        WriteGuard& operator=(const WriteGuard&) = delete;
        ~WriteGuard() { s_->notify(); }

    private:
        friend class Signal;
        explicit WriteGuard(std::shared_ptr<State> s) : s_(std::move(s)) {}
        std::shared_ptr<State> s_;
    };
    WriteGuard write() const { return WriteGuard(s_); }

    // Replaces the value only when it differs (needs ==); true when written.
    bool set_if_changed(T value) const {
        if (s_->value == value) return false;
        set(std::move(value));
        return true;
    }

    bool operator==(const Signal& o) const { return s_ == o.s_; }

private:
    std::shared_ptr<State> s_;
};

// ---- Store --------------------------------------------------------------

// A record cell whose fields are read and subscribed to one by one.
//   store.get(&Rec::field)       read one field (subscribes to that field)
//   store()  / store.read()      read the whole record (subscribes to all)
//   store.set(&Rec::field, v)    write one field
//   { auto w = store.write(); w->a = 1; w->b = 2; }   one notification
// A write wakes the readers of the fields whose value changed and the
// readers of the whole record. T must be copyable; fields read one by one
// must be comparable with ==.
template <class T>
class Store {
    struct Field {
        std::ptrdiff_t offset;
        std::function<bool(const T&, const T&)> equal;
        std::unique_ptr<detail::Source> source = std::make_unique<detail::Source>();
    };
    struct State final : detail::Source {
        T value;
        std::vector<Field> fields;
        template <class... A>
        explicit State(A&&... a) : value(std::forward<A>(a)...) {}
    };

public:
    Store() : s_(std::make_shared<State>()) {}
    explicit Store(T value) : s_(std::make_shared<State>(std::move(value))) {}

    const T& operator()() const { return read(); }
    const T& read() const {
        s_->track();
        return s_->value;
    }
    const T& peek() const { return s_->value; }

    template <class F>
    const F& get(F T::*member) const {
        field_source(member).track();
        return s_->value.*member;
    }
    template <class F>
    const F& peek(F T::*member) const {
        return s_->value.*member;
    }

    // Write guard: `->` and `*` give the record; notifies once when it ends.
    class WriteGuard {
    public:
        T* operator->() { return &s_->value; }
        T& operator*() { return s_->value; }
        WriteGuard(const WriteGuard&) = delete;
        WriteGuard& operator=(const WriteGuard&) = delete;
        ~WriteGuard() {
            for (auto& f : s_->fields)
                if (!f.equal(old_, s_->value)) f.source->notify();
            s_->notify();
        }

    private:
        friend class Store;
        explicit WriteGuard(std::shared_ptr<State> s) : s_(std::move(s)), old_(s_->value) {}
        std::shared_ptr<State> s_;
        T old_;
    };
    WriteGuard write() const { return WriteGuard(s_); }

    template <class Fn>
    void update(Fn&& fn) const {
        auto w = write();
        std::forward<Fn>(fn)(*w);
    }
    void set(T value) const {
        auto w = write();
        *w = std::move(value);
    }
    template <class F, class V>
    void set(F T::*member, V&& value) const {
        auto w = write();
        (*w).*member = std::forward<V>(value);
    }

    // A view of one field with the interface of a signal.
    template <class F>
    class FieldView {
    public:
        const F& operator()() const { return store_.get(member_); }
        const F& read() const { return store_.get(member_); }
        const F& peek() const { return store_.peek(member_); }
        template <class V>
        void set(V&& v) const {
            store_.set(member_, std::forward<V>(v));
        }
        bool operator==(const FieldView& o) const { return store_ == o.store_ && member_ == o.member_; }

    private:
        friend class Store;
        FieldView(Store s, F T::*m) : store_(std::move(s)), member_(m) {}
        Store store_;
        F T::*member_;
    };
    template <class F>
    FieldView<F> field(F T::*member) const {
        return FieldView<F>(*this, member);
    }

    bool operator==(const Store& o) const { return s_ == o.s_; }

private:
    template <class F>
    detail::Source& field_source(F T::*member) const {
        auto offset = reinterpret_cast<const char*>(&(s_->value.*member)) -
                      reinterpret_cast<const char*>(&s_->value);
        for (auto& f : s_->fields)
            if (f.offset == offset) return *f.source;
        s_->fields.push_back(Field{offset, [member](const T& a, const T& b) { return a.*member == b.*member; }});
        return *s_->fields.back().source;
    }
    std::shared_ptr<State> s_;
};

// ---- Memo ---------------------------------------------------------------

// A derived value, recomputed lazily: when something it read changes it
// becomes stale, and is computed again when next read. Its readers are woken
// only when the new value differs from the old one (T needs ==).
template <class T>
class Memo {
    struct State final : detail::Source, detail::Observer {
        std::function<T()> fn;
        std::optional<T> value;
        std::size_t computations = 0;

        void update_if_stale() override {
            if (value && !confirm_dirty()) return;
            clear_deps();
            std::optional<T> next;
            {
                detail::Tracking t(this);
                next.emplace(fn());
            }
            state = detail::ObsState::Clean;
            ++computations;
            bool changed = !value || !(*value == *next);
            value = std::move(next);
            if (changed) notify();
        }

    protected:
        void on_mark(detail::ObsState) override { notify_check(); }
    };

public:
    Memo() = default;
    explicit Memo(std::function<T()> fn) : s_(std::make_shared<State>()) { s_->fn = std::move(fn); }

    const T& operator()() const { return read(); }
    const T& read() const {
        s_->update_if_stale();
        s_->track();
        return *s_->value;
    }
    const T& peek() const {
        s_->update_if_stale();
        return *s_->value;
    }
    // Whether this handle holds a memo (a default-made one holds none).
    bool valid() const { return s_ != nullptr; }
    // How many times the value was computed (tests, diagnostics).
    std::size_t computations() const { return s_->computations; }

    bool operator==(const Memo& o) const { return s_ == o.s_; }

private:
    std::shared_ptr<State> s_;
};

// ---- Effect -------------------------------------------------------------

// A side effect that runs once soon (after the current render pass) and again
// after every change of something it read in its previous run. Dropping the
// last handle stops it.
class Effect {
public:
    Effect() = default;
    explicit Effect(std::function<void()> fn);
    ~Effect();
    Effect(Effect&&) noexcept = default;
    Effect& operator=(Effect&&) noexcept;
    Effect(const Effect&) = delete;
    Effect& operator=(const Effect&) = delete;

    // Replaces the function used from the next run on (does not schedule one).
    void set_fn(std::function<void()> fn);

private:
    std::shared_ptr<detail::EffectState> s_;
};

}  // namespace reactive
