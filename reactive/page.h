#pragma once
// The page as components see it: element queries and script evaluation.
//
// The desktop runtime implements Page (the web view); tests use FakePage
// (reactive/fake_page.h). Replies reach the host on the UI thread.
//
//   // fire and forget
//   eval("document.activeElement && document.activeElement.blur();");
//   // awaited result (the script is the body of an async function)
//   auto r = co_await eval("return window.innerHeight;").result();
//   // long-lived channel: the script calls send(v) / awaits recv()
//   Eval ch = eval(PLOT_SCRIPT);
//   ch.send(batch);
//   auto v = co_await ch.recv();
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "base/result.h"
#include "reactive/events.h"
#include "reactive/task.h"

namespace reactive {

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};
struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};
struct Size {
    double width = 0, height = 0;
    bool operator==(const Size&) const = default;
};

enum class QueryKind { ClientRect, ScrollOffset, ScrollSize, ScrollTo, Focus };
enum class ScrollBehavior { Instant, Smooth };

using Json = nlohmann::json;
using Reply = std::function<void(base::Result<Json>)>;

// One script evaluation, shared by the component that started it and the
// runtime that feeds it. Copies share it.
class Eval {
    struct State;

public:
    Eval();

    // ---- component side
    // The next value the script sent (in order); an error once the page is
    // gone or the evaluation was dropped by the runtime.
    Task<base::Result<Json>> recv() const;
    // The script's completion: its return value or its error.
    Task<base::Result<Json>> result() const;
    // Sends a value into the page; the script receives it in order.
    base::Result<void> send(const Json& value) const;

    // ---- runtime side
    // Request number the runtime gave it (0 until then).
    std::uint64_t request() const;
    void set_request(std::uint64_t n) const;
    // How sends reach the page.
    void set_sender(std::function<base::Result<void>(const Json&)> send) const;
    // A value the script sent.
    void push(Json value) const;
    // The script returned (or threw).
    void complete(base::Result<Json> r) const;
    // The page is gone: pending and later receives fail with `error`.
    void close(std::string error) const;
    bool closed() const;

private:
    std::shared_ptr<State> s_;
};

class Page {
public:
    virtual ~Page() = default;
    // Starts an element query; `reply` runs on the UI thread, at most once.
    // Args: ScrollTo {"behavior": "instant"|"smooth"}; Focus {"focus": bool}.
    virtual void query(ElementId id, QueryKind kind, Json args, Reply reply) = 0;
    // Starts `script` in the page; values and the completion come back
    // through `ev`.
    virtual void eval(const std::string& script, Eval ev) = 0;
};

namespace detail {
// Where a root publishes its page for the components and tasks of its thread.
struct PageSlot {
    Page* page = nullptr;
};
std::shared_ptr<PageSlot> current_page_slot();
void set_current_page_slot(std::shared_ptr<PageSlot> slot);
}  // namespace detail

// Evaluates `script` in the current root's page. With no page the returned
// evaluation is closed at once ("no page").
Eval eval(const std::string& script);

// A mounted element, as handed to "mounted" listeners.
class ElementHandle {
public:
    ElementHandle() = default;
    ElementHandle(ElementId id, std::weak_ptr<detail::PageSlot> page) : id_(id), page_(std::move(page)) {}
    ElementId id() const { return id_; }

    Task<base::Result<Rect>> client_rect() const;
    Task<base::Result<Point>> scroll_offset() const;
    Task<base::Result<Size>> scroll_size() const;
    Task<base::Result<void>> scroll_to(ScrollBehavior b = ScrollBehavior::Instant) const;
    Task<base::Result<void>> set_focus(bool focus = true) const;

    bool operator==(const ElementHandle& o) const { return id_ == o.id_; }

private:
    Task<base::Result<Json>> query(QueryKind kind, Json args) const;
    ElementId id_ = 0;
    std::weak_ptr<detail::PageSlot> page_;
};

}  // namespace reactive
