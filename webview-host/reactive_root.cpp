#include "webview-host/reactive_root.h"

namespace webview_host {

// The runtime's root component: the application's render function, with its
// output replaced by an empty placeholder while a recovery is in progress.
struct ReactiveRoot::Gate {
    Render render;
    bool placeholder = false;
};

namespace {

constexpr const char* PAGE_REPLACED = "the page was replaced";

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

void ReactiveRoot::attached(Window& window) { window_ = &window; }

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

void ReactiveRoot::eval(const std::string& script, reactive::Eval ev) {
    if (!window_) {
        ev.close("no page");
        return;
    }
    auto req = window_->evaluate(
        script, [ev](const nlohmann::json& v) { ev.push(v); },
        [ev](base::Result<nlohmann::json> r) {
            bool dropped = !r && r.error() == PAGE_REPLACED;
            ev.complete(r);
            if (dropped) ev.close(PAGE_REPLACED);
        });
    ev.set_request(req);
    ev.set_sender([w = window_, req, alive = std::weak_ptr<bool>(alive_)](const nlohmann::json& v) -> base::Result<void> {
        auto a = alive.lock();
        if (!a || !*a) return base::fail("no page");
        w->send_to_script(req, v);
        return {};
    });
}

}  // namespace webview_host
