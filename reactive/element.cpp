#include "reactive/element.h"

#include <cmath>
#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#include "base/float_text.h"

namespace reactive {

Element::Element(std::string text) : n_(std::make_shared<VNode>()) {
    n_->kind = NodeKind::Text;
    n_->tag = std::move(text);
}

Element::Element(std::vector<Element> children) : n_(std::make_shared<VNode>()) {
    n_->kind = NodeKind::Fragment;
    n_->children = std::move(children);
}

VNode& Element::node_mut() {
    if (!n_) n_ = std::make_shared<VNode>();
    return *n_;
}

Element& Element::key(std::string k) {
    if (!n_) {
        n_ = std::make_shared<VNode>();
        n_->kind = NodeKind::Fragment;
    }
    n_->key = std::move(k);
    return *this;
}

std::string markup_number(double v) {
    if (!std::isfinite(v) || v == 0) return "0";  // "-0" reads as 0 too, but looks odd
    std::string s = base::shortest(v);
    if (s.ends_with(".0")) s.resize(s.size() - 2);
    return s;
}

namespace {
void set_attr(VNode& n, std::string name, std::string value, bool always) {
    for (auto& a : n.attrs)
        if (a.name == name) {
            a.value = std::move(value);
            a.always = always;
            return;
        }
    n.attrs.push_back(Attr{std::move(name), std::move(value), always});
}
}  // namespace

Element& Element::attr(std::string name, std::string value) {
    set_attr(node_mut(), std::move(name), std::move(value), false);
    return *this;
}

Element& Element::attr(std::string name, bool on) {
    auto& n = node_mut();
    if (on) {
        set_attr(n, std::move(name), std::string(), false);
    } else {
        std::erase_if(n.attrs, [&](const Attr& a) { return a.name == name; });
    }
    return *this;
}

Element& Element::attr_always(std::string name, std::string value) {
    set_attr(node_mut(), std::move(name), std::move(value), true);
    return *this;
}

Element& Element::style(std::string name, std::string value) {
    auto& n = node_mut();
    for (auto& s : n.styles)
        if (s.name == name) {
            s.value = std::move(value);
            return *this;
        }
    n.styles.push_back(Style{std::move(name), std::move(value)});
    return *this;
}

namespace {
Element& set_prop(Element& self, VNode& n, std::string name, PropValue value, bool always, bool once) {
    for (auto& p : n.props)
        if (p.name == name) {
            p.value = std::move(value);
            p.always = always;
            p.once = once;
            return self;
        }
    n.props.push_back(Prop{std::move(name), std::move(value), always, once});
    return self;
}
}  // namespace

Element& Element::prop(std::string name, PropValue value, bool always) {
    return set_prop(*this, node_mut(), std::move(name), std::move(value), always, false);
}

Element& Element::prop_once(std::string name, PropValue value) {
    return set_prop(*this, node_mut(), std::move(name), std::move(value), false, true);
}

Element& Element::inner_html(std::string html) {
    auto& n = node_mut();
    n.has_html = true;
    n.html = std::move(html);
    return *this;
}

Element& Element::append(Element child) {
    node_mut().children.push_back(std::move(child));
    return *this;
}

Element& Element::add_listener(Listener l) {
    auto& n = node_mut();
    for (auto& x : n.listeners)
        if (x.event == l.event) {
            x = std::move(l);
            return *this;
        }
    n.listeners.push_back(std::move(l));
    return *this;
}

Element el(std::string tag) {
    auto n = std::make_shared<VNode>();
    n->kind = NodeKind::Element;
    n->tag = std::move(tag);
    return Element(std::move(n));
}

Element svg_el(std::string tag) {
    auto n = std::make_shared<VNode>();
    n->kind = NodeKind::Element;
    n->svg = true;
    n->tag = std::move(tag);
    return Element(std::move(n));
}

Element text(std::string s) { return Element(std::move(s)); }

Element fragment(std::vector<Element> children) { return Element(std::move(children)); }

namespace detail {
const ComponentType* intern_component_type(ComponentType t) {
    // One record per (function, props type); kept for the life of the process.
    static std::mutex mu;
    static std::map<std::pair<AnyFn, void*>, std::unique_ptr<ComponentType>>* table =
        new std::map<std::pair<AnyFn, void*>, std::unique_ptr<ComponentType>>();
    std::lock_guard lk(mu);
    auto key = std::make_pair(t.fn, reinterpret_cast<void*>(t.equal));
    auto it = table->find(key);
    if (it != table->end()) return it->second.get();
    auto p = std::make_unique<ComponentType>(t);
    auto* raw = p.get();
    table->emplace(key, std::move(p));
    return raw;
}
}  // namespace detail

Element component(Element (*fn)(), const char* name) {
    auto n = std::make_shared<VNode>();
    n->kind = NodeKind::Component;
    n->component = detail::intern_component_type(detail::ComponentType{
        reinterpret_cast<detail::AnyFn>(fn), name, &detail::no_props_equal, &detail::render_no_props});
    return Element(std::move(n));
}

std::string describe(const Element& e) {
    const VNode* n = e.node();
    if (!n) return "(empty)";
    switch (n->kind) {
    case NodeKind::Empty: return "(empty)";
    case NodeKind::Text: return "\"" + n->tag + "\"";
    case NodeKind::Fragment: return "(fragment of " + std::to_string(n->children.size()) + ")";
    case NodeKind::Component: return std::string("<") + n->component->name + "/>";
    case NodeKind::Element: return "<" + n->tag + ">";
    }
    return "?";
}

}  // namespace reactive
