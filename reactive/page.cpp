#include "reactive/page.h"

namespace reactive {

struct Eval::State {
    std::deque<Json> values;
    std::optional<base::Result<Json>> result;
    std::optional<std::string> closed;
    std::uint64_t request = 0;
    std::function<base::Result<void>(const Json&)> sender;
    std::optional<Pending<bool>> value_waiter;
    std::optional<Pending<bool>> result_waiter;

    void wake_values() {
        if (value_waiter) {
            auto w = std::move(*value_waiter);
            value_waiter.reset();
            w.resolve(true);
        }
    }
    void wake_result() {
        if (result_waiter) {
            auto w = std::move(*result_waiter);
            result_waiter.reset();
            w.resolve(true);
        }
    }
};

Eval::Eval() : s_(std::make_shared<State>()) {}

Task<base::Result<Json>> Eval::recv() const {
    auto s = s_;
    for (;;) {
        if (!s->values.empty()) {
            Json v = std::move(s->values.front());
            s->values.pop_front();
            co_return v;
        }
        if (s->closed) co_return base::fail(*s->closed);
        Pending<bool> w;
        s->value_waiter = w;
        co_await w;
    }
}

Task<base::Result<Json>> Eval::result() const {
    auto s = s_;
    for (;;) {
        if (s->result) co_return *s->result;
        if (s->closed) co_return base::fail(*s->closed);
        Pending<bool> w;
        s->result_waiter = w;
        co_await w;
    }
}

base::Result<void> Eval::send(const Json& value) const {
    if (s_->closed) return base::fail(*s_->closed);
    if (!s_->sender) return base::fail("the page cannot receive values for this script");
    return s_->sender(value);
}

std::uint64_t Eval::request() const { return s_->request; }
void Eval::set_request(std::uint64_t n) const { s_->request = n; }
void Eval::set_sender(std::function<base::Result<void>(const Json&)> send) const { s_->sender = std::move(send); }

void Eval::push(Json value) const {
    if (s_->closed) return;
    s_->values.push_back(std::move(value));
    s_->wake_values();
}

void Eval::complete(base::Result<Json> r) const {
    if (s_->result || s_->closed) return;
    s_->result = std::move(r);
    s_->wake_result();
}

void Eval::close(std::string error) const {
    if (s_->closed) return;
    s_->closed = std::move(error);
    s_->wake_values();
    s_->wake_result();
}

bool Eval::closed() const { return s_->closed.has_value(); }

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
        ev.close("no page");
        return ev;
    }
    slot->page->eval(script, ev);
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
