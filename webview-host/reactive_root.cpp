#include "webview-host/reactive_root.h"

#include <nlohmann/json.hpp>

#include "reactive/page.h"
#include "webview-host/ipc.h"

namespace webview_host {

// The runtime's root component: the application's render function, with its
// output replaced by an empty placeholder while a recovery is in progress.
struct ReactiveRoot::Gate {
    Render render;
    bool placeholder = false;
};

namespace {

struct GateProps {
    std::shared_ptr<ReactiveRoot::Gate> gate;
    bool operator==(const GateProps& o) const { return gate == o.gate; }
};

reactive::Element recovery_gate(const GateProps& p) {
    reactive::Element out = p.gate->render();
    bool recovering = reactive::use_recovering();
    p.gate->placeholder = recovering;
    return recovering ? reactive::Element() : out;
}

const char* query_op(reactive::QueryKind k) {
    switch (k) {
        case reactive::QueryKind::ClientRect: return "rect";
        case reactive::QueryKind::ScrollOffset: return "scroll_offset";
        case reactive::QueryKind::ScrollSize: return "scroll_size";
        case reactive::QueryKind::ScrollTo: return "scroll_to";
        case reactive::QueryKind::Focus: return "focus";
    }
    return "rect";
}

}  // namespace

ReactiveRoot::ReactiveRoot(reactive::Loop& loop, Render render) : gate_(std::make_shared<Gate>()) {
    gate_->render = std::move(render);
    root_ = std::make_unique<reactive::Root>(loop, [this](reactive::EditBatch b) {
        if (window_ && !b.empty()) window_->send_edits_text(reactive::serialize(b));
    });
    root_->set_page(this);
}

ReactiveRoot::~ReactiveRoot() {
    *alive_ = false;
    window_ = nullptr;  // the tree's removal sends nothing
    root_.reset();
}

void ReactiveRoot::attached(Window& window) {
    window_ = &window;
    root_->provide_context(window.context());
}

nlohmann::json ReactiveRoot::render_first() {
    root_->mount(reactive::component(recovery_gate, GateProps{gate_}, "recovery_gate"));
    return nlohmann::json::array();
}

nlohmann::json ReactiveRoot::render_dirty() {
    root_->flush();
    return nlohmann::json::array();
}

EventReply ReactiveRoot::dispatch(const EventRecord& ev) {
    auto r = root_->handle_event(ev.id, ev.type, ev.data);
    if (!r) return {};
    return EventReply{r->prevent_default, r->stop_propagation};
}

void ReactiveRoot::render_placeholder() {
    // Renders at once with the output discarded: the tree below the root
    // is removed on the host side, the root's own state stays.
    root_->begin_recovery();
}

bool ReactiveRoot::placeholder_mounted() const { return gate_->placeholder; }

nlohmann::json ReactiveRoot::render_reattach() {
    // Sends (through the sink) the batch that builds the whole tree again.
    root_->finish_recovery();
    return nlohmann::json::array();
}

bool ReactiveRoot::uses_page_generation() const { return root_->uses_page_generation(); }

void ReactiveRoot::query(reactive::ElementId id, reactive::QueryKind kind, reactive::Json args,
                         reactive::Reply reply) {
    if (!window_) {
        if (reply) reply(base::fail("no page"));
        return;
    }
    window_->query_element(id, query_op(kind), args, [reply = std::move(reply)](base::Result<nlohmann::json> r) {
        if (reply) reply(std::move(r));
    });
}

void ReactiveRoot::eval(const std::string& script, reactive::EvalFeed feed) {
    if (!window_) {
        feed.close("no page");
        return;
    }
    auto req = window_->evaluate(
        script, [feed](const nlohmann::json& v) { feed.push(v); },
        [feed](base::Result<nlohmann::json> r) { feed.complete(std::move(r)); },
        [feed](const std::string& why) { feed.end(why); });
    feed.set_request(req);
    auto alive = std::weak_ptr<bool>(alive_);
    feed.set_sender([w = window_, req, alive](const nlohmann::json& v) -> base::Result<void> {
        auto a = alive.lock();
        if (!a || !*a) return base::fail("no page");
        return w->send_to_script(req, v);
    });
    feed.on_release([w = window_, req, alive] {
        auto a = alive.lock();
        if (a && *a) w->release_script(req);
    });
}

WindowContext use_window() { return reactive::try_use_context<WindowContext>().value_or(WindowContext()); }

}  // namespace webview_host
