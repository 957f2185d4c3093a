#include "reactive/page.h"

#include <deque>

#include <nlohmann/json.hpp>

namespace reactive {

namespace detail {

struct EvalState {
    std::deque<Json> values;
    std::optional<base::Result<Json>> result;
    std::optional<std::string> ended;  // why the channel ended
    std::uint64_t request = 0;
    std::function<base::Result<void>(const Json&)> sender;
    std::function<void()> release;
    std::optional<Pending<bool>> value_waiter;
    std::optional<Pending<bool>> result_waiter;

    ~EvalState() {
        if (!release || ended) return;
        try {
            release();
        } catch (...) {
            // The runtime's bookkeeping must not throw out of a destructor.
        }
    }

    static void wake(std::optional<Pending<bool>>& w) {
        if (!w) return;
        auto p = std::move(*w);
        w.reset();
        p.resolve(true);
    }
    void end(std::string why) {
        if (ended) return;
        ended = std::move(why);
        sender = nullptr;
        release = nullptr;
        wake(value_waiter);
    }
    void complete(base::Result<Json> r) {
        if (result) return;
        result = std::move(r);
        wake(result_waiter);
    }
};

}  // namespace detail

Eval::Eval() : s_(std::make_shared<detail::EvalState>()) {}

Task<base::Result<Json>> Eval::recv() const {
    auto s = s_;
    for (;;) {
        if (!s->values.empty()) {
            Json v = std::move(s->values.front());
            s->values.pop_front();
            co_return v;
        }
        if (s->ended) co_return base::fail(*s->ended);
        Pending<bool> w;
        s->value_waiter = w;
        co_await w;
    }
}

Task<base::Result<Json>> Eval::first() const {
    auto s = s_;
    for (;;) {
        if (!s->values.empty()) {
            Json v = std::move(s->values.front());
            s->values.pop_front();
            co_return v;
        }
        // What the body sent arrives before its completion.
        if (s->result) co_return base::fail(*s->result ? std::string("the script sent no value") : s->result->error());
        if (s->ended) co_return base::fail(*s->ended);
        Pending<bool> w;
        s->value_waiter = w;
        s->result_waiter = w;
        co_await w;
    }
}

Task<base::Result<Json>> Eval::result() const {
    auto s = s_;
    for (;;) {
        if (s->result) co_return *s->result;
        Pending<bool> w;
        s->result_waiter = w;
        co_await w;
    }
}

base::Result<void> Eval::send(const Json& value) const {
    if (s_->ended) return base::fail(*s_->ended);
    if (!s_->sender) return base::fail("the page cannot receive values for this script");
    return s_->sender(value);
}

bool Eval::ended() const { return s_->ended.has_value(); }
std::uint64_t Eval::request() const { return s_->request; }
EvalFeed Eval::feed() const { return EvalFeed(s_); }

void EvalFeed::set_request(std::uint64_t n) const {
    if (auto s = s_.lock()) s->request = n;
}
void EvalFeed::set_sender(std::function<base::Result<void>(const Json&)> send) const {
    if (auto s = s_.lock(); s && !s->ended) s->sender = std::move(send);
}
void EvalFeed::on_release(std::function<void()> fn) const {
    if (auto s = s_.lock(); s && !s->ended) s->release = std::move(fn);
}

void EvalFeed::push(Json value) const {
    auto s = s_.lock();
    if (!s || s->ended) return;
    s->values.push_back(std::move(value));
    detail::EvalState::wake(s->value_waiter);
}

void EvalFeed::complete(base::Result<Json> r) const {
    auto s = s_.lock();
    if (!s) return;
    if (!r) s->end(r.error());
    s->complete(std::move(r));
}

void EvalFeed::end(std::string reason) const {
    if (auto s = s_.lock()) s->end(std::move(reason));
}

void EvalFeed::close(std::string error) const {
    auto s = s_.lock();
    if (!s) return;
    s->end(error);
    s->complete(base::fail(std::move(error)));
}

namespace detail {
namespace {
thread_local std::shared_ptr<PageSlot>* t_slot = nullptr;
struct SlotCleanup {
    ~SlotCleanup() {
        delete t_slot;
        t_slot = nullptr;
    }
};
thread_local SlotCleanup t_slot_cleanup;
}  // namespace

std::shared_ptr<PageSlot> current_page_slot() { return t_slot ? *t_slot : nullptr; }
void set_current_page_slot(std::shared_ptr<PageSlot> slot) {
    if (!t_slot) t_slot = new std::shared_ptr<PageSlot>();
    *t_slot = std::move(slot);
}
}  // namespace detail

Eval eval(const std::string& script) {
    Eval ev;
    auto slot = detail::current_page_slot();
    if (!slot || !slot->page) {
        ev.feed().close("no page");
        return ev;
    }
    slot->page->eval(script, ev.feed());
    return ev;
}

Task<base::Result<Json>> ElementHandle::query(QueryKind kind, Json args) const {
    auto slot = page_.lock();
    if (!slot || !slot->page) co_return base::fail("no page");
    Pending<base::Result<Json>> p;
    slot->page->query(id_, kind, std::move(args), [p](base::Result<Json> r) { p.resolve(std::move(r)); });
    co_return co_await p;
}

namespace {
base::Result<double> num(const Json& j, const char* name) {
    if (!j.is_object()) return base::fail("reply is not an object");
    auto it = j.find(name);
    if (it == j.end() || !it->is_number()) return base::fail(std::string("reply lacks ") + name);
    return it->get<double>();
}
}  // namespace

Task<base::Result<Rect>> ElementHandle::client_rect() const {
    auto r = co_await query(QueryKind::ClientRect, nullptr);
    if (!r) co_return base::fail(r.error());
    auto x = num(*r, "x"), y = num(*r, "y"), w = num(*r, "width"), h = num(*r, "height");
    if (!x || !y || !w || !h) co_return base::fail("malformed client rect");
    co_return Rect{*x, *y, *w, *h};
}

Task<base::Result<Point>> ElementHandle::scroll_offset() const {
    auto r = co_await query(QueryKind::ScrollOffset, nullptr);
    if (!r) co_return base::fail(r.error());
    auto x = num(*r, "x"), y = num(*r, "y");
    if (!x || !y) co_return base::fail("malformed scroll offset");
    co_return Point{*x, *y};
}

Task<base::Result<Size>> ElementHandle::scroll_size() const {
    auto r = co_await query(QueryKind::ScrollSize, nullptr);
    if (!r) co_return base::fail(r.error());
    auto w = num(*r, "width"), h = num(*r, "height");
    if (!w || !h) co_return base::fail("malformed scroll size");
    co_return Size{*w, *h};
}

Task<base::Result<void>> ElementHandle::scroll_to(ScrollBehavior b) const {
    Json args = Json::object();
    args["behavior"] = b == ScrollBehavior::Smooth ? "smooth" : "instant";
    auto r = co_await query(QueryKind::ScrollTo, std::move(args));
    if (!r) co_return base::fail(r.error());
    co_return base::Result<void>{};
}

Task<base::Result<void>> ElementHandle::set_focus(bool focus) const {
    Json args = Json::object();
    args["focus"] = focus;
    auto r = co_await query(QueryKind::Focus, std::move(args));
    if (!r) co_return base::fail(r.error());
    co_return base::Result<void>{};
}

}  // namespace reactive
