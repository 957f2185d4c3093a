#pragma once
// A headless page for the kit's tests: a root on a manual loop rendering into
// the in-memory DOM, with a fake page whose queries and scripts the test
// answers.
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "reactive/dom.h"
#include "reactive/fake_page.h"
#include "reactive/root.h"

namespace shared_ui::testing {

struct KitPage {
    reactive::ManualLoop loop;
    reactive::dom::Document doc;
    reactive::FakePage page;
    reactive::Root root{loop, [this](reactive::EditBatch b) { ASSERT_TRUE(doc.apply_json(reactive::serialize(b))); }};

    KitPage() { root.set_page(&page); }

    void mount(reactive::Element e) {
        root.mount(std::move(e));
        settle();
    }
    void settle() { loop.run_until_idle(); }

    // Depth-first search by a predicate on nodes.
    const reactive::dom::Node* find(const std::function<bool(const reactive::dom::Node&)>& pred,
                                    const reactive::dom::Node* n = nullptr) const {
        if (!n) n = &doc.root();
        if (n->id != 0 && pred(*n)) return n;
        for (auto* c : n->children)
            if (auto* f = find(pred, c)) return f;
        return nullptr;
    }
    // The first element whose class attribute holds the word `word`.
    const reactive::dom::Node* by_class(const std::string& word) const {
        return find([&](const reactive::dom::Node& n) {
            auto it = n.attrs.find("class");
            if (it == n.attrs.end()) return false;
            std::string c = " " + it->second + " ";
            return c.find(" " + word + " ") != std::string::npos;
        });
    }
    const reactive::dom::Node* by_tag(const std::string& tag) const {
        return find([&](const reactive::dom::Node& n) { return n.tag == tag; });
    }
    // Markup without the "on:event" attributes.
    std::string markup(const reactive::dom::Node* n = nullptr) const {
        std::string html = n ? doc.html_of(*n) : doc.html();
        for (std::size_t at; (at = html.find(" on:")) != std::string::npos;)
            html.erase(at, html.find('"', html.find('"', at) + 1) - at + 1);
        return html;
    }
    std::string attr(const reactive::dom::Node* n, const std::string& name) const {
        if (!n) return "<no element>";
        auto it = n->attrs.find(name);
        return it == n->attrs.end() ? "<absent>" : it->second;
    }

    std::optional<reactive::EventResult> fire(const reactive::dom::Node* n, const char* type,
                                              reactive::Json e = reactive::Json::object()) {
        EXPECT_TRUE(n) << "no element for " << type;
        if (!n) return std::nullopt;
        auto r = root.handle_event(n->id, type, e);
        settle();
        return r;
    }
    // Sends "mounted" to every element that listens to it.
    void mount_events() {
        for (auto id : doc.mounted_listeners()) root.handle_event(id, "mounted", reactive::Json::object());
        settle();
    }
    // Answers the oldest unanswered element query.
    void answer_query(reactive::Json reply) {
        ASSERT_LT(answered_queries, page.queries.size()) << "no query to answer";
        page.queries[answered_queries++].reply(std::move(reply));
        settle();
    }
    void answer_rect(double x, double y, double w, double h) {
        answer_query(reactive::Json{{"x", x}, {"y", y}, {"width", w}, {"height", h}});
    }
    std::size_t answered_queries = 0;
    // Scripts evaluated so far whose text contains `part`.
    std::vector<reactive::FakePage::Script*> scripts_with(const std::string& part) {
        std::vector<reactive::FakePage::Script*> out;
        for (auto& s : page.scripts)
            if (s.text.find(part) != std::string::npos) out.push_back(&s);
        return out;
    }
};

}  // namespace shared_ui::testing
