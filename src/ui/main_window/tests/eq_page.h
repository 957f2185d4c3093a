#pragma once
// The window state of the test fixture with a page of its own: a second root
// on the fixture's loop rendering into the in-memory DOM, with the window
// state provided to the components mounted there.
#include <functional>
#include <string>

#include "reactive/dom.h"
#include "reactive/fake_page.h"
#include "reactive/root.h"
#include "shared-ui/asset.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window::testing {

class EqWindow : public Window {
protected:
    void mount(reactive::Element e) {
        page_root.set_page(&page);
        page_root.provide_context(s());
        page_root.provide_context(s().settings);
        page_root.provide_context(s().tooltip);
        page_root.provide_context(s().open_dropdown);
        page_root.mount(std::move(e));
        flush();
    }
    void flush() {
        loop.run_until_idle();
        page_root.flush();
        loop.run_until_idle();
    }
    std::string html() const { return doc.html(); }

    const reactive::dom::Node* find(const std::function<bool(const reactive::dom::Node&)>& pred,
                                    const reactive::dom::Node* n = nullptr) const {
        if (!n) n = &doc.root();
        if (n->id != 0 && pred(*n)) return n;
        for (auto* c : n->children)
            if (auto* f = find(pred, c)) return f;
        return nullptr;
    }
    static bool holds_text(const reactive::dom::Node& n, const std::string& text) {
        if (n.is_text) return n.text == text;
        for (const auto* c : n.children)
            if (holds_text(*c, text)) return true;
        return false;
    }
    // The first button labelled `text`.
    const reactive::dom::Node* button(const std::string& text) const {
        return find([&](const reactive::dom::Node& n) { return n.tag == "button" && holds_text(n, text); });
    }
    // The first button showing the icon `icon`.
    const reactive::dom::Node* icon_button(const shared_ui::Asset& icon) const {
        return find([&](const reactive::dom::Node& n) {
            if (n.tag != "button") return false;
            for (const auto* c : n.children) {
                const auto src = c->attrs.find("src");
                if (src != c->attrs.end() && src->second == icon.url()) return true;
            }
            return false;
        });
    }
    void click(const reactive::dom::Node* n) {
        ASSERT_TRUE(n) << html();
        page_root.handle_event(n->id, "click", reactive::Json::object());
        flush();
    }

    reactive::FakePage page;
    reactive::dom::Document doc;
    reactive::Root page_root{loop, [this](reactive::EditBatch b) { ASSERT_TRUE(doc.apply(b)); }};
};

}  // namespace ui::main_window::testing
