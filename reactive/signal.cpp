#include "reactive/signal.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <string>

#include "base/log.h"

namespace reactive {
namespace detail {

namespace {
thread_local Observer* t_observer = nullptr;
thread_local std::deque<std::weak_ptr<EffectState>>* t_effects = nullptr;
thread_local std::function<void()>* t_flush = nullptr;

std::deque<std::weak_ptr<EffectState>>& effects() {
    if (!t_effects) t_effects = new std::deque<std::weak_ptr<EffectState>>();
    return *t_effects;
}

struct EffectQueueCleanup {
    ~EffectQueueCleanup() {
        delete t_effects;
        t_effects = nullptr;
        delete t_flush;
        t_flush = nullptr;
    }
};
thread_local EffectQueueCleanup t_cleanup;

template <class V, class X>
void erase_one(V& v, X x) {
    auto it = std::find(v.begin(), v.end(), x);
    if (it != v.end()) {
        *it = v.back();
        v.pop_back();
    }
}
}  // namespace

Observer* current_observer() { return t_observer; }
Observer* set_current_observer(Observer* o) {
    Observer* prev = t_observer;
    t_observer = o;
    return prev;
}

Source::~Source() {
    for (Observer* o : subs) erase_one(o->deps, this);
}

void Source::track() {
    Observer* o = t_observer;
    if (!o) return;
    // Most reads repeat the last subscription; look there first.
    if (!o->deps.empty() && o->deps.back() == this) return;
    if (std::find(o->deps.begin(), o->deps.end(), this) != o->deps.end()) return;
    o->deps.push_back(this);
    subs.push_back(o);
}

void Source::notify() {
    if (subs.empty()) return;
    if (subs.size() == 1) {
        subs.front()->mark(ObsState::Dirty);
        return;
    }
    auto copy = subs;
    for (Observer* o : copy)
        if (std::find(subs.begin(), subs.end(), o) != subs.end()) o->mark(ObsState::Dirty);
}

void Source::notify_check() {
    auto copy = subs;
    for (Observer* o : copy)
        if (std::find(subs.begin(), subs.end(), o) != subs.end()) o->mark(ObsState::Check);
}

Observer::~Observer() { clear_deps(); }

void Observer::mark(ObsState s) {
    if (s <= state) return;
    ObsState prev = state;
    state = s;
    on_mark(prev);
}

void Observer::clear_deps() {
    for (Source* s : deps) erase_one(s->subs, this);
    deps.clear();
}

bool Observer::confirm_dirty() {
    if (state == ObsState::Dirty) return true;
    if (state == ObsState::Check) {
        auto copy = deps;
        for (Source* s : copy) {
            if (std::find(deps.begin(), deps.end(), s) == deps.end()) continue;
            s->update_if_stale();
            if (state == ObsState::Dirty) return true;
        }
        state = ObsState::Clean;
    }
    return false;
}

void queue_effect(const std::shared_ptr<EffectState>& e) {
    if (e->queued) return;
    e->queued = true;
    effects().push_back(e);
    request_flush();
}

bool effects_pending() { return t_effects && !t_effects->empty(); }

std::size_t run_queued_effects() {
    std::size_t n = 0;
    auto& q = effects();
    // Bounded: an effect that keeps waking itself would otherwise spin forever.
    std::size_t budget = 100000;
    while (!q.empty() && budget-- > 0) {
        auto w = std::move(q.front());
        q.pop_front();
        if (auto e = w.lock()) {
            e->queued = false;
            if (e->alive && e->confirm_dirty()) {
                e->run();
                ++n;
            }
        }
    }
    return n;
}

void set_flush_requester(std::function<void()> fn) {
    if (!t_flush) t_flush = new std::function<void()>();
    *t_flush = std::move(fn);
}

void request_flush() {
    if (t_flush && *t_flush) (*t_flush)();
}

void EffectState::run() {
    clear_deps();
    state = ObsState::Clean;
    auto keep = shared_from_this();
    Tracking t(this);
    try {
        if (fn) fn();
    } catch (const std::exception& x) {
        base::log::error("veltrum::reactive", std::string("effect failed: ") + x.what());
    }
}

void EffectState::on_mark(ObsState) {
    if (alive) queue_effect(shared_from_this());
}

}  // namespace detail

Effect::Effect(std::function<void()> fn) : s_(std::make_shared<detail::EffectState>()) {
    s_->fn = std::move(fn);
    s_->mark(detail::ObsState::Dirty);
}

Effect::~Effect() {
    if (s_) {
        s_->alive = false;
        s_->clear_deps();
    }
}

Effect& Effect::operator=(Effect&& o) noexcept {
    if (this != &o) {
        if (s_) {
            s_->alive = false;
            s_->clear_deps();
        }
        s_ = std::move(o.s_);
    }
    return *this;
}

void Effect::set_fn(std::function<void()> fn) {
    if (s_) s_->fn = std::move(fn);
}

}  // namespace reactive
