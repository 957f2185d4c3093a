#include "reactive/root.h"

#include "reactive/page.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "base/log.h"

namespace reactive {

namespace {
constexpr const char* TARGET = "veltrum::reactive";
}

// A node of the mounted tree: what the page holds, and what rendered it.
struct LNode {
    NodeKind kind = NodeKind::Empty;
    Element v;  // the node as last rendered
    ElementId id = 0;
    LNode* parent = nullptr;
    std::vector<std::unique_ptr<LNode>> children;  // component: [0] is its output
    std::unique_ptr<detail::Instance> inst;
    detail::Instance* owner = nullptr;  // component whose output holds this node
    std::vector<std::pair<std::string, int>> listening;  // event, mode
};

namespace detail {

struct Instance {
    struct RenderObserver final : Observer {
        Instance* self = nullptr;

    protected:
        void on_mark(ObsState) override { self->root->schedule(self); }
    };

    Root* root = nullptr;
    Instance* parent = nullptr;
    int depth = 0;
    LNode* node = nullptr;
    Element vnode;
    std::vector<HookSlot> hooks;
    std::size_t hook_index = 0;
    bool first_render = true;
    bool scheduled = false;
    bool listed = false;  // in the root's list of dirty components
    std::unordered_map<std::type_index, std::shared_ptr<void>> contexts;
    std::vector<std::shared_ptr<std::function<void()>>> removals;
    std::vector<std::shared_ptr<EffectState>> effects;
    RenderObserver obs;
    TaskScope tasks;  // destroyed first: tasks end before the hooks they use

    Instance() { obs.self = this; }
    ~Instance() {
        for (auto& e : effects) {
            e->alive = false;
            e->clear_deps();
        }
    }
};

namespace {
thread_local Instance* t_instance = nullptr;
thread_local Root* t_root = nullptr;

struct InstanceScope {
    Instance* prev_inst;
    TaskScope* prev_scope;
    InstanceScope(Instance* i, TaskScope* fallback)
        : prev_inst(t_instance), prev_scope(set_current_scope(i ? &i->tasks : fallback)) {
        t_instance = i;
    }
    ~InstanceScope() {
        t_instance = prev_inst;
        set_current_scope(prev_scope);
    }
};
}  // namespace

Instance* current_instance() { return t_instance; }
Root* current_root() { return t_root; }

void hook_misuse(const char* what) {
    base::log::error(TARGET, what);
    std::fprintf(stderr, "reactive: %s\n", what);
    std::abort();
}

HookSlot& next_hook(const std::type_info& type, const std::function<std::shared_ptr<void>()>& make) {
    Instance* i = t_instance;
    if (!i) hook_misuse("hook called outside a component render");
    if (i->hook_index < i->hooks.size()) {
        HookSlot& s = i->hooks[i->hook_index++];
        if (*s.type != type) hook_misuse("hooks called in a different order than at the first render");
        return s;
    }
    if (!i->first_render) hook_misuse("more hooks called than at the first render");
    i->hooks.push_back(HookSlot{&type, make()});
    ++i->hook_index;
    return i->hooks.back();
}

const std::shared_ptr<void>* find_context(Instance* inst, std::type_index t) {
    for (Instance* i = inst; i; i = i->parent) {
        auto it = i->contexts.find(t);
        if (it != i->contexts.end()) return &it->second;
    }
    Root* r = inst ? inst->root : t_root;
    return r ? r->find_root_context(t) : nullptr;
}

void provide_in(Instance* inst, std::type_index t, std::shared_ptr<void> v) {
    if (!inst) hook_misuse("provide_context called outside a component render");
    inst->contexts[t] = std::move(v);
}

TaskScope& instance_scope(Instance* inst) { return inst->tasks; }

}  // namespace detail

ElementHandle MountedEvent::element() const { return ElementHandle(id, detail::current_page_slot()); }

// ---- hooks ------------------------------------------------------------------------

void use_effect(std::function<void()> fn) {
    struct Hook {
        std::shared_ptr<detail::EffectState> state;
        std::shared_ptr<std::function<void()>> fn;
    };
    auto& h = use_hook<Hook>([] { return Hook{}; });
    if (!h.state) {
        detail::Instance* inst = detail::current_instance();
        h.fn = std::make_shared<std::function<void()>>(std::move(fn));
        h.state = std::make_shared<detail::EffectState>();
        h.state->fn = [inst, f = h.fn] {
            detail::InstanceScope scope(inst, nullptr);
            (*f)();
        };
        inst->effects.push_back(h.state);
        h.state->mark(detail::ObsState::Dirty);
    } else {
        *h.fn = std::move(fn);
    }
}

TaskHandle detail::spawn_tracked(Task<void> task) {
    TaskScope* s = detail::current_scope();
    if (!s) s = detail::root_scope();
    if (!s) return spawn(std::move(task));
    return s->spawn(std::move(task), true);
}

void use_on_remove(std::function<void()> fn) {
    struct Hook {
        std::shared_ptr<std::function<void()>> fn;
    };
    auto& h = use_hook<Hook>([] { return Hook{}; });
    if (!h.fn) {
        h.fn = std::make_shared<std::function<void()>>(std::move(fn));
        detail::current_instance()->removals.push_back(h.fn);
    } else {
        *h.fn = std::move(fn);
    }
}

std::uint32_t use_page_generation() {
    Root* r = detail::current_instance() ? detail::current_instance()->root : detail::current_root();
    if (!r) detail::hook_misuse("use_page_generation without a root");
    r->uses_generation_ = true;
    return r->generation_();
}

bool use_recovering() {
    Root* r = detail::current_instance() ? detail::current_instance()->root : detail::current_root();
    if (!r) detail::hook_misuse("use_recovering without a root");
    return r->recovering_();
}

// ---- the differ ---------------------------------------------------------------------

struct Differ {
    Root& root;
    EditBatch& out;

    ElementId new_id() { return root.next_id_++; }

    static NodeKind kind_of(const Element& e) { return e.kind(); }
    static const std::string& key_of(const Element& e) {
        static const std::string empty;
        return e.node() ? e.node()->key : empty;
    }
    static bool compatible(const LNode& n, const Element& e) {
        if (n.kind != e.kind()) return false;
        const VNode* a = n.v.node();
        const VNode* b = e.node();
        switch (n.kind) {
        case NodeKind::Element: return a->tag == b->tag && a->svg == b->svg;
        case NodeKind::Component: return a->component == b->component;
        default: return true;
        }
    }

    static void flatten(const LNode& n, std::vector<ElementId>& ids) {
        switch (n.kind) {
        case NodeKind::Element:
        case NodeKind::Text: ids.push_back(n.id); break;
        case NodeKind::Fragment:
        case NodeKind::Component:
            for (auto& c : n.children) flatten(*c, ids);
            break;
        case NodeKind::Empty: break;
        }
    }
    static void flatten_children(const LNode& n, std::vector<ElementId>& ids) {
        for (auto& c : n.children) flatten(*c, ids);
    }
    static std::optional<ElementId> first_dom(const LNode& n) {
        switch (n.kind) {
        case NodeKind::Element:
        case NodeKind::Text: return n.id;
        case NodeKind::Fragment:
        case NodeKind::Component:
            for (auto& c : n.children)
                if (auto id = first_dom(*c)) return id;
            return std::nullopt;
        case NodeKind::Empty: return std::nullopt;
        }
        return std::nullopt;
    }
    // The DOM node that follows everything `n` puts into the page.
    static std::optional<ElementId> anchor_after(const LNode* n) {
        for (;;) {
            const LNode* p = n->parent;
            if (!p) return std::nullopt;
            bool after = false;
            for (auto& c : p->children) {
                if (after) {
                    if (auto id = first_dom(*c)) return id;
                } else if (c.get() == n) {
                    after = true;
                }
            }
            if (p->kind == NodeKind::Element) return std::nullopt;
            n = p;
        }
    }
    static ElementId dom_parent(const LNode* n) {
        for (const LNode* p = n->parent; p; p = p->parent)
            if (p->kind == NodeKind::Element) return p->id;
        return 0;
    }

    void emit(Edit e) { out.push_back(std::move(e)); }
    void emit_insert(ElementId parent, ElementId id, std::optional<ElementId> before) {
        Edit e;
        e.op = EditOp::Insert;
        e.parent = parent;
        e.id = id;
        e.before = before;
        emit(std::move(e));
    }
    void emit_simple(EditOp op, ElementId id, std::string name = {}, std::string value = {}) {
        Edit e;
        e.op = op;
        e.id = id;
        e.name = std::move(name);
        e.value = std::move(value);
        emit(std::move(e));
    }
    void emit_prop(ElementId id, const Prop& p) {
        Edit e;
        e.op = EditOp::SetProp;
        e.id = id;
        e.name = p.name;
        e.prop = p.value;
        emit(std::move(e));
    }
    void emit_listen(ElementId id, const std::string& event, int mode) {
        Edit e;
        e.op = EditOp::Listen;
        e.id = id;
        e.name = event;
        e.mode = mode;
        emit(std::move(e));
    }

    // Moves nodes so that the page's order becomes `now`, touching as few
    // as possible: nodes on a longest run already in order stay put.
    void reorder(ElementId parent, const std::vector<ElementId>& old, const std::vector<ElementId>& now,
                 std::optional<ElementId> anchor) {
        if (old == now) return;
        const std::size_t n = now.size();
        std::unordered_map<ElementId, std::size_t> pos;
        pos.reserve(old.size() * 2);
        for (std::size_t i = 0; i < old.size(); ++i) pos.emplace(old[i], i);
        // Longest increasing subsequence of old positions (patience sort).
        std::vector<long> seq(n, -1);
        for (std::size_t i = 0; i < n; ++i) {
            auto it = pos.find(now[i]);
            if (it != pos.end()) seq[i] = static_cast<long>(it->second);
        }
        std::vector<std::size_t> tails, prev(n, SIZE_MAX);
        for (std::size_t i = 0; i < n; ++i) {
            if (seq[i] < 0) continue;
            auto it = std::lower_bound(tails.begin(), tails.end(), seq[i],
                                       [&](std::size_t idx, long v) { return seq[idx] < v; });
            if (it != tails.begin()) prev[i] = *(it - 1);
            if (it == tails.end()) tails.push_back(i);
            else *it = i;
        }
        std::vector<bool> keep(n, false);
        if (!tails.empty())
            for (std::size_t i = tails.back(); i != SIZE_MAX; i = prev[i]) keep[i] = true;
        for (std::size_t k = n; k-- > 0;) {
            if (keep[k]) continue;
            emit_insert(parent, now[k], k + 1 < n ? std::optional<ElementId>(now[k + 1]) : anchor);
        }
    }

    // Emits what builds element `n` (attributes, listeners, children) in the page.
    void setup_element(LNode& n, const VNode& v) {
        for (auto& a : v.attrs) emit_simple(EditOp::SetAttr, n.id, a.name, a.value);
        for (auto& s : v.styles)
            if (!s.value.empty()) emit_simple(EditOp::SetStyle, n.id, s.name, s.value);
        for (auto& p : v.props) emit_prop(n.id, p);
        n.listening.clear();
        for (auto& l : v.listeners) {
            emit_listen(n.id, l.event, l.mode);
            n.listening.emplace_back(l.event, l.mode);
        }
        if (v.has_html) emit_simple(EditOp::SetHtml, n.id, {}, v.html);
    }

    std::unique_ptr<LNode> create(const Element& e, LNode* parent, detail::Instance* owner) {
        auto n = std::make_unique<LNode>();
        n->kind = e.kind();
        n->v = e;
        n->parent = parent;
        n->owner = owner;
        const VNode* v = e.node();
        switch (n->kind) {
        case NodeKind::Empty: break;
        case NodeKind::Text:
            n->id = new_id();
            root.elements_.emplace(n->id, n.get());
            emit_simple(EditOp::CreateText, n->id, {}, v->tag);
            break;
        case NodeKind::Element: {
            n->id = new_id();
            root.elements_.emplace(n->id, n.get());
            emit_simple(EditOp::Create, n->id, v->tag, v->svg ? "svg" : "");
            setup_element(*n, *v);
            if (!v->has_html) {
                for (auto& c : v->children) n->children.push_back(create(c, n.get(), owner));
                std::vector<ElementId> ids;
                flatten_children(*n, ids);
                for (auto id : ids) emit_insert(n->id, id, std::nullopt);
            }
            break;
        }
        case NodeKind::Fragment:
            for (auto& c : v->children) n->children.push_back(create(c, n.get(), owner));
            break;
        case NodeKind::Component: {
            auto inst = std::make_unique<detail::Instance>();
            inst->root = &root;
            inst->parent = owner;
            inst->depth = owner ? owner->depth + 1 : 0;
            inst->node = n.get();
            inst->vnode = e;
            Element output = render(*inst);
            n->inst = std::move(inst);
            n->children.push_back(create(output, n.get(), n->inst.get()));
            break;
        }
        }
        return n;
    }

    Element render(detail::Instance& i) {
        i.scheduled = false;
        detail::InstanceScope scope(&i, nullptr);
        i.hook_index = 0;
        i.obs.clear_deps();
        i.obs.state = detail::ObsState::Clean;
        const VNode* v = i.vnode.node();
        Element output;
        {
            detail::Tracking t(&i.obs);
            try {
                output = v->component->render(v->component->fn, v->component_props.get());
            } catch (const std::exception& x) {
                base::log::error(TARGET, std::string("component render failed: ") + x.what(),
                                 {{"component", v->component->name}});
            }
        }
        i.first_render = false;
        return output;
    }

    void update_component_output(LNode& n, const Element& output) {
        auto& child = n.children[0];
        if (compatible(*child, output) && key_of(child->v) == key_of(output)) {
            update(*child, output);
        } else {
            auto old = std::move(child);
            remove(std::move(old));
            child = create(output, &n, n.inst.get());
        }
    }

    void update(LNode& n, const Element& e) {
        if (n.kind == NodeKind::Component) {
            detail::Instance& i = *n.inst;
            bool props_changed = false;
            if (!(n.v == e)) {
                const VNode* a = n.v.node();
                const VNode* b = e.node();
                props_changed = !a->component->equal(a->component_props.get(), b->component_props.get());
                n.v = e;
                i.vnode = e;
            }
            bool dirty = i.scheduled && i.obs.confirm_dirty();
            if (props_changed || dirty) update_component_output(n, render(i));
            else i.scheduled = false;
            return;
        }
        if (n.v == e) return;  // the very same node: nothing can differ
        const VNode* o = n.v.node();
        const VNode* v = e.node();
        switch (n.kind) {
        case NodeKind::Empty: break;
        case NodeKind::Text:
            if (o->tag != v->tag) emit_simple(EditOp::SetText, n.id, {}, v->tag);
            break;
        case NodeKind::Fragment: reconcile(n, v->children); break;
        case NodeKind::Element: update_element(n, *o, *v); break;
        case NodeKind::Component: break;
        }
        n.v = e;
    }

    template <class V, class F>
    static const V* find_named(const std::vector<V>& list, std::size_t hint, const std::string& name, F get) {
        if (hint < list.size() && get(list[hint]) == name) return &list[hint];
        for (auto& x : list)
            if (get(x) == name) return &x;
        return nullptr;
    }

    void update_element(LNode& n, const VNode& o, const VNode& v) {
        auto aname = [](const Attr& a) -> const std::string& { return a.name; };
        for (std::size_t k = 0; k < v.attrs.size(); ++k) {
            const Attr& a = v.attrs[k];
            const Attr* old = find_named(o.attrs, k, a.name, aname);
            if (!old || old->value != a.value || a.always) emit_simple(EditOp::SetAttr, n.id, a.name, a.value);
        }
        for (std::size_t k = 0; k < o.attrs.size(); ++k)
            if (!find_named(v.attrs, k, o.attrs[k].name, aname))
                emit_simple(EditOp::RemoveAttr, n.id, o.attrs[k].name);

        auto sname = [](const Style& s) -> const std::string& { return s.name; };
        for (std::size_t k = 0; k < v.styles.size(); ++k) {
            const Style& s = v.styles[k];
            const Style* old = find_named(o.styles, k, s.name, sname);
            if (old ? old->value != s.value : !s.value.empty())
                emit_simple(EditOp::SetStyle, n.id, s.name, s.value);
        }
        for (std::size_t k = 0; k < o.styles.size(); ++k)
            if (!o.styles[k].value.empty() && !find_named(v.styles, k, o.styles[k].name, sname))
                emit_simple(EditOp::SetStyle, n.id, o.styles[k].name, "");

        auto pname = [](const Prop& p) -> const std::string& { return p.name; };
        for (std::size_t k = 0; k < v.props.size(); ++k) {
            const Prop& p = v.props[k];
            if (p.once) continue;  // written at creation only
            const Prop* old = find_named(o.props, k, p.name, pname);
            if (!old || !(old->value == p.value) || p.always) emit_prop(n.id, p);
        }
        // A property that is no longer given goes back to its empty value.
        for (std::size_t k = 0; k < o.props.size(); ++k)
            if (!o.props[k].once && !find_named(v.props, k, o.props[k].name, pname)) {
                Prop reset{o.props[k].name, PropValue(std::string()), false};
                if (std::holds_alternative<bool>(o.props[k].value)) reset.value = false;
                else if (std::holds_alternative<double>(o.props[k].value)) reset.value = 0.0;
                emit_prop(n.id, reset);
            }

        // Listeners: only the set of events and their modes reach the page.
        bool same_listeners = v.listeners.size() == n.listening.size();
        for (std::size_t k = 0; same_listeners && k < v.listeners.size(); ++k)
            same_listeners = v.listeners[k].event == n.listening[k].first && v.listeners[k].mode == n.listening[k].second;
        if (!same_listeners) {
            std::vector<std::pair<std::string, int>> now;
            for (auto& l : v.listeners) now.emplace_back(l.event, l.mode);
            for (auto& [ev, mode] : n.listening) {
                auto it = std::find_if(now.begin(), now.end(), [&](auto& x) { return x.first == ev; });
                if (it == now.end() || it->second != mode) emit_simple(EditOp::Unlisten, n.id, ev);
            }
            for (auto& [ev, mode] : now) {
                auto it = std::find_if(n.listening.begin(), n.listening.end(), [&](auto& x) { return x.first == ev; });
                if (it == n.listening.end() || it->second != mode) emit_listen(n.id, ev, mode);
            }
            n.listening = std::move(now);
        }

        if (v.has_html) {
            if (!o.has_html) {
                // The markup replaces the children.
                auto old = std::move(n.children);
                n.children.clear();
                for (auto& c : old) destroy(*c);
            }
            if (!o.has_html || o.html != v.html) emit_simple(EditOp::SetHtml, n.id, {}, v.html);
            return;
        }
        if (o.has_html) emit_simple(EditOp::SetHtml, n.id, {}, "");
        std::vector<ElementId> before, after;
        flatten_children(n, before);
        reconcile(n, v.children);
        flatten_children(n, after);
        reorder(n.id, before, after, std::nullopt);
    }

    void reconcile(LNode& parent, const std::vector<Element>& next) {
        auto& old = parent.children;
        std::vector<std::unique_ptr<LNode>> out(next.size());
        std::vector<bool> taken(old.size(), false);
        bool keyed = false;
        for (auto& e : next)
            if (!key_of(e).empty()) {
                keyed = true;
                break;
            }
        std::unordered_map<std::string_view, std::size_t> by_key;
        if (keyed) {
            by_key.reserve(old.size() * 2);
            for (std::size_t i = 0; i < old.size(); ++i) {
                const auto& k = key_of(old[i]->v);
                if (!k.empty()) by_key.emplace(k, i);
            }
        }
        for (std::size_t i = 0; i < next.size(); ++i) {
            const auto& k = key_of(next[i]);
            std::size_t m = SIZE_MAX;
            if (!k.empty()) {
                auto it = by_key.find(k);
                if (it != by_key.end() && !taken[it->second] && compatible(*old[it->second], next[i])) m = it->second;
            } else if (i < old.size() && !taken[i] && key_of(old[i]->v).empty() && compatible(*old[i], next[i])) {
                m = i;
            }
            if (m != SIZE_MAX) {
                taken[m] = true;
                out[i] = std::move(old[m]);
            }
        }
        for (std::size_t i = 0; i < old.size(); ++i)
            if (!taken[i]) remove(std::move(old[i]));
        for (std::size_t i = 0; i < next.size(); ++i) {
            if (out[i]) update(*out[i], next[i]);
            else out[i] = create(next[i], &parent, parent.kind == NodeKind::Component ? parent.inst.get() : owner_of(parent));
        }
        parent.children = std::move(out);
    }

    static detail::Instance* owner_of(const LNode& n) { return n.owner; }

    void remove(std::unique_ptr<LNode> n) {
        std::vector<ElementId> ids;
        flatten(*n, ids);
        for (auto id : ids) emit_simple(EditOp::Remove, id);
        destroy(*n);
    }

    void destroy(LNode& n) {
        if (n.id) root.elements_.erase(n.id);
        for (auto& c : n.children) destroy(*c);
        if (n.inst) {
            auto& i = *n.inst;
            // A listener of this component may still be running (a nested
            // loop inside it): what it spawns from now on goes to the root.
            if (detail::current_instance() == &i) detail::t_instance = nullptr;
            if (detail::current_scope() == &i.tasks) detail::set_current_scope(&root.tasks_);
            root.unschedule(&i);
            i.obs.clear_deps();
            i.tasks.cancel_all();
            for (auto& e : i.effects) {
                e->alive = false;
                e->clear_deps();
            }
            detail::InstanceScope scope(&i, nullptr);
            auto removals = std::move(i.removals);
            i.removals.clear();
            for (auto& r : removals) {
                try {
                    if (*r) (*r)();
                } catch (const std::exception& x) {
                    base::log::error(TARGET, std::string("removal hook failed: ") + x.what());
                }
            }
            i.tasks.cancel_all();
        }
    }

    // Re-renders one component by itself (its parent did not render).
    void rerender(detail::Instance& i) {
        LNode& n = *i.node;
        std::vector<ElementId> before, after;
        flatten(n, before);
        update_component_output(n, render(i));
        flatten(n, after);
        if (before != after) reorder(dom_parent(&n), before, after, anchor_after(&n));
    }

    // Emits edits that build the live subtree `n` again in a fresh page.
    void rebuild(LNode& n) {
        switch (n.kind) {
        case NodeKind::Text: emit_simple(EditOp::CreateText, n.id, {}, n.v.node()->tag); break;
        case NodeKind::Element: {
            if (n.id != 0) {
                emit_simple(EditOp::Create, n.id, n.v.node()->tag, n.v.node()->svg ? "svg" : "");
                setup_element(n, *n.v.node());
            }
            for (auto& c : n.children) rebuild(*c);
            std::vector<ElementId> ids;
            flatten_children(n, ids);
            for (auto id : ids) emit_insert(n.id, id, std::nullopt);
            break;
        }
        case NodeKind::Fragment:
        case NodeKind::Component:
            for (auto& c : n.children) rebuild(*c);
            break;
        case NodeKind::Empty: break;
        }
    }
};

// ---- Root ----------------------------------------------------------------------------

Root::Root(Loop& loop, EditSink sink)
    : loop_(&loop), prev_loop_(set_current_loop(&loop)), sink_(std::move(sink)),
      page_slot_(std::make_shared<detail::PageSlot>()) {
    mount_ = std::make_unique<LNode>();
    mount_->kind = NodeKind::Element;
    mount_->v = el("div");
    mount_->id = 0;
    detail::t_root = this;
    detail::set_root_scope(&tasks_);
    detail::set_current_page_slot(page_slot_);
    detail::set_flush_requester([this] { request_flush(); });
}

Root::~Root() {
    *alive_ = false;
    tasks_.cancel_all();
    unmount();
    if (detail::t_root == this) {
        detail::t_root = nullptr;
        detail::set_root_scope(nullptr);
        detail::set_current_page_slot(nullptr);
        detail::set_flush_requester(nullptr);
    }
    if (current_loop() == loop_) set_current_loop(prev_loop_);
}

const std::shared_ptr<void>* Root::find_root_context(std::type_index t) const {
    auto it = contexts_.find(t);
    return it == contexts_.end() ? nullptr : &it->second;
}

void Root::mount(Element root) {
    EditBatch batch;
    {
        Differ d{*this, batch};
        std::vector<ElementId> before, after;
        Differ::flatten_children(*mount_, before);
        d.reconcile(*mount_, std::vector<Element>{std::move(root)});
        Differ::flatten_children(*mount_, after);
        d.reorder(0, before, after, std::nullopt);
    }
    if (!batch.empty() && !recovering_.peek() && sink_) sink_(std::move(batch));
    flush();
}

void Root::unmount() {
    if (!mount_) return;
    EditBatch batch;
    Differ d{*this, batch};
    d.reconcile(*mount_, {});
    if (!batch.empty() && *alive_ && !recovering_.peek() && sink_) sink_(std::move(batch));
}

void Root::schedule(detail::Instance* inst) {
    if (inst->scheduled) return;
    inst->scheduled = true;
    if (!inst->listed) {
        inst->listed = true;
        dirty_.push_back(inst);
    }
    request_flush();
}

void Root::unschedule(detail::Instance* inst) {
    inst->scheduled = false;
    if (inst->listed) {
        inst->listed = false;
        std::erase(dirty_, inst);
    }
}

void Root::prune_dirty() {
    std::erase_if(dirty_, [](detail::Instance* i) {
        if (i->scheduled) return false;
        i->listed = false;
        return true;
    });
}

void Root::request_flush() {
    if (flush_posted_ || flushing_) return;
    flush_posted_ = true;
    loop_->post([this, alive = std::weak_ptr<bool>(alive_)] {
        auto a = alive.lock();
        if (a && *a) flush();
    });
}

bool Root::has_pending() const { return !dirty_.empty() || detail::effects_pending(); }

bool Root::render_dirty(EditBatch& out) {
    Differ d{*this, out};
    // Components that keep waking each other would spin forever; past the
    // budget the rest waits for the next pass.
    std::size_t budget = 4 * elements_.size() + 1000;
    for (;;) {
        if (budget-- == 0) return false;
        prune_dirty();
        if (dirty_.empty()) return true;
        detail::Instance* best = dirty_.front();
        for (auto* i : dirty_)
            if (i->depth < best->depth) best = i;
        if (!best->obs.confirm_dirty()) {
            best->scheduled = false;
            continue;
        }
        d.rerender(*best);
    }
}

void Root::flush() {
    if (flushing_) return;
    flushing_ = true;
    flush_posted_ = false;
    for (int round = 0;; ++round) {
        EditBatch batch;
        bool settled = render_dirty(batch);
        if (!batch.empty() && !recovering_.peek() && sink_) sink_(std::move(batch));
        if (!settled || round == 100) {
            // Whatever is left runs in a later pass; events get their turn.
            base::log::warn(TARGET, "render: components keep waking each other; the rest waits for the next pass");
            break;
        }
        detail::run_queued_effects();
        prune_dirty();
        if (dirty_.empty() && !detail::effects_pending()) break;
    }
    flushing_ = false;
    if (!dirty_.empty() || detail::effects_pending()) request_flush();
}

std::optional<EventResult> Root::handle_event(ElementId id, std::string_view type, const Json& data) {
    auto it = elements_.find(id);
    if (it == elements_.end()) return std::nullopt;
    LNode* n = it->second;
    const VNode* v = n->v.node();
    if (!v) return std::nullopt;
    auto l = std::find_if(v->listeners.begin(), v->listeners.end(), [&](const Listener& x) { return x.event == type; });
    if (l == v->listeners.end() || !l->fn) return std::nullopt;
    auto fn = l->fn;  // the listener may cause its own node to go
    detail::InstanceScope scope(n->owner, &tasks_);
    try {
        return fn(id, type, data);
    } catch (const std::exception& x) {
        base::log::error(TARGET, std::string("event listener failed: ") + x.what(), {{"event", std::string(type)}});
        return EventResult{};
    }
}

void Root::set_page(Page* page) { page_slot_->page = page; }
Page* Root::page() const { return page_slot_->page; }

void Root::begin_recovery() {
    if (recovering_.peek()) return;
    recovering_.set(true);
    flush();
}

void Root::finish_recovery() {
    if (!recovering_.peek()) return;
    EditBatch batch;
    {
        Differ d{*this, batch};
        d.rebuild(*mount_);
    }
    recovering_.set(false);
    generation_.set(generation_.peek() + 1);
    if (!batch.empty() && sink_) sink_(std::move(batch));
    flush();
}

}  // namespace reactive
