#pragma once
// A window state with one panel component mounted headless: an in-memory
// DOM and a fake page on the window fixture's manual loop, and helpers to
// find rows and use their steppers, buttons and drop-downs.
#include <string>
#include <vector>

#include "reactive/dom.h"
#include "reactive/fake_page.h"
#include "reactive/root.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window::testing {

using reactive::dom::Node;

inline bool has_class(const Node& n, const std::string& word) {
    auto it = n.attrs.find("class");
    return it != n.attrs.end() && (" " + it->second + " ").find(" " + word + " ") != std::string::npos;
}

inline std::string text_of(const Node& n) {
    if (n.is_text) return n.text;
    std::string out;
    for (const auto* c : n.children) out += text_of(*c);
    return out;
}

inline void collect(const Node& n, const std::function<bool(const Node&)>& pred, std::vector<const Node*>& out) {
    if (!n.is_text && n.id != 0 && pred(n)) out.push_back(&n);
    for (const auto* c : n.children) collect(*c, pred, out);
}

class Panel : public Window {
protected:
    void TearDown() override { view.reset(); }

    void mount(reactive::Element (*fn)()) {
        view.emplace(loop, [this](reactive::EditBatch b) { ASSERT_TRUE(doc.apply(b)); });
        view->set_page(&page);
        view->provide_context(s());
        view->provide_context(s().tooltip);
        view->provide_context(s().open_dropdown);
        view->mount(reactive::component(fn, "panel"));
        show();
    }
    void show() {
        loop.run_until_idle();
        view->flush();
        loop.run_until_idle();
        for (auto id : doc.mounted_listeners()) view->handle_event(id, "mounted", reactive::Json::object());
        loop.run_until_idle();
        view->flush();
    }

    std::vector<const Node*> all(const std::function<bool(const Node&)>& pred, const Node* in = nullptr) const {
        std::vector<const Node*> out;
        collect(in ? *in : doc.root(), pred, out);
        return out;
    }
    std::vector<const Node*> by_class(const std::string& word, const Node* in = nullptr) const {
        return all([&](const Node& n) { return has_class(n, word); }, in);
    }
    const Node* first(const std::string& word, const Node* in = nullptr) const {
        auto v = by_class(word, in);
        return v.empty() ? nullptr : v.front();
    }
    // The row whose "label" cell reads `label`.
    const Node* row(const std::string& label, const Node* in = nullptr) const {
        for (const auto* r : by_class("row", in))
            if (const auto* l = first("label", r); l && text_of(*l) == label) return r;
        return nullptr;
    }
    const Node* button_labelled(const std::string& label, const Node* in = nullptr) const {
        auto v = all([&](const Node& n) { return n.tag == "button" && text_of(n) == label; }, in);
        return v.empty() ? nullptr : v.front();
    }
    std::string attr(const Node* n, const std::string& name) const {
        if (!n) return "<no element>";
        auto it = n->attrs.find(name);
        return it == n->attrs.end() ? "<absent>" : it->second;
    }

    void fire(const Node* n, const char* type, reactive::Json e = reactive::Json::object()) {
        ASSERT_TRUE(n) << "no element for " << type;
        view->handle_event(n->id, type, e);
        show();
    }
    void click(const Node* n) { fire(n, "click"); }
    // The i-th stepper inside `in`: typing, minus and plus.
    const Node* stepper_field(const Node* in, std::size_t i = 0) const {
        auto v = all([](const Node& n) { return n.tag == "input"; }, in);
        return i < v.size() ? v[i] : nullptr;
    }
    void type(const Node* in, const std::string& text, std::size_t i = 0) {
        fire(stepper_field(in, i), "change", reactive::Json{{"value", text}});
    }
    void press(const Node* in, const char* side, std::size_t i = 0) {
        auto v = by_class(side, in);
        ASSERT_LT(i, v.size()) << side;
        fire(v[i]->children[0], "click");
    }
    void minus(const Node* in, std::size_t i = 0) { press(in, "stepper-button-left", i); }
    void plus(const Node* in, std::size_t i = 0) { press(in, "stepper-button-right", i); }
    // Opens the i-th drop-down inside `in`; returns its options.
    std::vector<shared_ui::components::dropdown::Choice> open(const Node* in, std::size_t i = 0) {
        auto v = by_class("dropdown-container", in);
        EXPECT_LT(i, v.size());
        if (i >= v.size()) return {};
        const auto buttons = all([](const Node& n) { return n.tag == "button"; }, v[i]);
        const std::size_t queries = page.queries.size(), scripts = page.scripts.size();
        click(buttons.front());
        EXPECT_GT(page.queries.size(), queries);
        if (page.queries.size() == queries) return {};
        page.queries.back().reply(reactive::Json{{"x", 100}, {"y", 100}, {"width", 120}, {"height", 24}});
        loop.run_until_idle();
        for (std::size_t k = scripts; k < page.scripts.size(); ++k)
            if (page.scripts[k].text.find("innerWidth") != std::string::npos)
                page.scripts[k].feed.push(reactive::Json::array({1280, 800}));
        show();
        const auto list = s().open_dropdown.peek();
        return list ? list->options : std::vector<shared_ui::components::dropdown::Choice>{};
    }
    // Opens the i-th drop-down inside `in` and picks the option with `key`
    // (or a made-up choice when no option has it).
    void choose(const Node* in, const std::string& key, std::size_t i = 0) {
        const auto options = open(in, i);
        auto list = s().open_dropdown.peek();
        ASSERT_TRUE(list);
        shared_ui::components::dropdown::Choice c{key, key};
        for (const auto& o : options)
            if (o.first == key) c = o;
        s().open_dropdown.set(std::nullopt);
        list->onchange(c);
        show();
    }

    reactive::FakePage page;
    reactive::dom::Document doc;
    std::optional<reactive::Root> view;
};

}  // namespace ui::main_window::testing
