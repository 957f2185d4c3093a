#pragma once
// The page as components see it: element queries and script evaluation.
//
// The desktop runtime implements Page (the web view); tests use FakePage
// (reactive/fake_page.h, in the test-only library). Replies reach the host on
// the UI thread.
//
// A script is the body of an async function in the page. It is handed
// send(value) (a value to the host), recv() (a promise of the next value the
// host sends) and end() (its channel is done), also as veltrum.send / .recv /
// .end.
//
//   // fire and forget
//   eval("document.activeElement && document.activeElement.blur();");
//   // awaited result (the body's return value)
//   auto r = co_await eval("return window.innerHeight;").result();
//   // one value sent back (fails if the script sent none)
//   auto v = co_await eval("send([window.innerWidth, window.innerHeight]);").first();
//   // long-lived channel: listeners installed by the script keep sending
//   // after its body returned, until it calls end(), throws, the page goes
//   // or the host drops every copy of `ch`
//   Eval ch = eval("window.addEventListener('keydown', (e) => send(e.code));");
//   while (auto v = co_await ch.recv()) handle(*v);
//   ch.send(batch);   // fails once the channel is gone or while the page is rebuilt
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

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

using Reply = std::function<void(base::Result<Json>)>;

namespace detail {
struct EvalState;
}
class EvalFeed;

// One script evaluation as the component holds it. Copies share it; when the
// last copy goes, the runtime forgets the script's channel (the script still
// runs; what it sends from then on is dropped).
class Eval {
public:
    Eval();

    // The next value the script sent, in order. After the values sent so far
    // it fails once the channel has ended: the script called end() or threw,
    // the page went, or the runtime dropped the evaluation. A body that
    // returns keeps its channel open.
    Task<base::Result<Json>> recv() const;
    // The first value the script sent while its body ran: for one-statement
    // scripts that answer with send(...). Fails when the body returned (or
    // threw) without sending one, or the page went.
    Task<base::Result<Json>> first() const;
    // The script's completion: its return value, or the error it threw, or
    // an error when the page went first.
    Task<base::Result<Json>> result() const;
    // Sends a value into the page (the script reads it with recv()). Fails
    // when the channel has ended, while the page is being rebuilt and when
    // there is no page.
    base::Result<void> send(const Json& value) const;
    // True once the channel has ended (values may still be waiting).
    bool ended() const;
    // The runtime's number of this evaluation (0 until it has one).
    std::uint64_t request() const;

    // The runtime's side of this evaluation.
    EvalFeed feed() const;

private:
    std::shared_ptr<detail::EvalState> s_;
};

// The runtime's side of an evaluation: feeds it what the page sends. Holds
// the evaluation weakly, so that it never keeps a channel alive that no
// component holds any more; every call on a forgotten evaluation does nothing.
class EvalFeed {
public:
    EvalFeed() = default;
    explicit EvalFeed(std::weak_ptr<detail::EvalState> s) : s_(std::move(s)) {}

    void set_request(std::uint64_t n) const;
    // How send() reaches the page.
    void set_sender(std::function<base::Result<void>(const Json&)> send) const;
    // Runs when the component side lets go of the evaluation (its last Eval
    // copy is destroyed). Not run for an evaluation that had ended.
    void on_release(std::function<void()> fn) const;

    // A value the script sent.
    void push(Json value) const;
    // The body returned (or threw: then its channel ends with that error).
    void complete(base::Result<Json> r) const;
    // The script ended its channel (end()).
    void end(std::string reason) const;
    // The page is gone: the channel ends and a missing result fails, both
    // with `error`.
    void close(std::string error) const;

    bool released() const { return s_.expired(); }

private:
    std::weak_ptr<detail::EvalState> s_;
};

class Page {
public:
    virtual ~Page() = default;
    // Starts an element query; `reply` runs on the UI thread, at most once.
    // Args: ScrollTo {"behavior": "instant"|"smooth"}; Focus {"focus": bool}.
    virtual void query(ElementId id, QueryKind kind, Json args, Reply reply) = 0;
    // Starts `script` in the page; values, the completion and the end of
    // the channel come back through `feed`.
    virtual void eval(const std::string& script, EvalFeed feed) = 0;
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
// evaluation has ended at once ("no page").
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
