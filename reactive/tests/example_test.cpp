// A small example of how components read: a counter, a text field and a
// keyed list, driven through page events as the web view would drive them.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "reactive/dom.h"
#include "reactive/root.h"

using namespace reactive;

namespace {

// A counter: local state, a callback prop, a click listener.
struct CounterProps {
    int step = 1;
    Callback<int> onchange;
    bool operator==(const CounterProps&) const = default;
};

Element counter(const CounterProps& p) {
    auto count = use_signal(0);
    return div().cls("counter")(
        button().cls("minus").on_click([=](const MouseEvent&) {
            count.set(count.peek() - p.step);
            p.onchange(count.peek());
        })("-"),
        span().cls("value")(fmt::format("{}", count())),
        button().cls("plus").on_click([=](const MouseEvent&) {
            count.set(count.peek() + p.step);
            p.onchange(count.peek());
        })("+"));
}

// A text field: shows the value it is given, reports edits, commits on Enter.
struct TextFieldProps {
    std::string value;
    std::string placeholder;
    Callback<std::string> oninput;
    Callback<> onenter;
    bool operator==(const TextFieldProps&) const = default;
};

Element text_field(const TextFieldProps& p) {
    return input()
        .attr("type", "text")
        .attr("placeholder", p.placeholder)
        .value(p.value)
        .on_input([=](const InputEvent& e) { p.oninput(e.value); })
        .on_keydown_blocking([=](KeyboardEvent& e) {
            if (e.key == "Enter" && !e.composing) {
                e.prevent_default();
                p.onenter();
            }
        });
}

// The page: a counter, a field to name a new row, and the rows (keyed).
struct Row {
    int id;
    std::string name;
    bool operator==(const Row&) const = default;
};

Element app() {
    auto total = use_signal(0);
    auto draft = use_signal(std::string());
    auto rows = use_signal(std::vector<Row>{{1, "Main L"}, {2, "Main R"}});
    auto next_id = use_signal(3);
    // Callbacks made once keep their identity, so children do not re-render for them.
    auto on_count = use_hook<Callback<int>>([=] { return Callback<int>([=](int v) { total.set(v); }); });
    auto on_input = use_hook<Callback<std::string>>([=] { return Callback<std::string>([=](std::string s) { draft.set(std::move(s)); }); });
    auto on_enter = use_hook<Callback<>>([=] {
        return Callback<>([=] {
            if (draft.peek().empty()) return;
            rows.update([&](std::vector<Row>& r) { r.push_back(Row{next_id.peek(), draft.peek()}); });
            next_id.set(next_id.peek() + 1);
            draft.set("");
        });
    });

    std::vector<Element> items;
    for (const Row& r : rows()) {
        items.push_back(li().key(std::to_string(r.id)).attr("data-id", std::to_string(r.id))(
            r.name,
            button().cls("remove").on_click([=](const MouseEvent&) {
                rows.update([&](std::vector<Row>& v) { std::erase(v, r); });
            })("x")));
    }
    return div().cls("app")(
        component(counter, CounterProps{.step = 2, .onchange = on_count}),
        p().cls("total")(fmt::format("total {}", total())),
        component(text_field, TextFieldProps{.value = draft(), .placeholder = "Name", .oninput = on_input, .onenter = on_enter}),
        when(rows().empty(), [] { return p().cls("empty")("No rows"); }),
        ul()(std::move(items)));
}

struct Page {
    ManualLoop loop;
    dom::Document doc;
    Root root{loop, [this](EditBatch b) { ASSERT_TRUE(doc.apply_json(serialize(b))); }};

    const dom::Node* by_class(const std::string& cls, const dom::Node* n = nullptr) const {
        if (!n) n = &doc.root();
        auto it = n->attrs.find("class");
        if (it != n->attrs.end() && it->second == cls) return n;
        for (auto* c : n->children)
            if (auto* f = by_class(cls, c)) return f;
        return nullptr;
    }
    const dom::Node* by_tag(const std::string& tag, const dom::Node* n = nullptr) const {
        if (!n) n = &doc.root();
        if (n->tag == tag && n->id != 0) return n;
        for (auto* c : n->children)
            if (auto* f = by_tag(tag, c)) return f;
        return nullptr;
    }
    std::optional<EventResult> fire(const dom::Node* n, const char* type, Json e = Json::object()) {
        auto r = root.handle_event(n->id, type, e);
        loop.run_until_idle();
        return r;
    }
};

TEST(Example, CounterTextFieldAndKeyedList) {
    Page pg;
    pg.root.mount(component(app));
    EXPECT_EQ(pg.doc.html(),
              "<div class=\"app\"><div class=\"counter\"><button class=\"minus\" on:click=\"0\">-</button>"
              "<span class=\"value\">0</span><button class=\"plus\" on:click=\"0\">+</button></div>"
              "<p class=\"total\">total 0</p>"
              "<input on:input=\"0\" on:keydown=\"1\" placeholder=\"Name\" type=\"text\"></input>"
              "<ul><li data-id=\"1\">Main L<button class=\"remove\" on:click=\"0\">x</button></li>"
              "<li data-id=\"2\">Main R<button class=\"remove\" on:click=\"0\">x</button></li></ul></div>");

    pg.fire(pg.by_class("plus"), "click");
    pg.fire(pg.by_class("plus"), "click");
    EXPECT_EQ(pg.by_class("value")->children[0]->text, "4");
    EXPECT_EQ(pg.by_class("total")->children[0]->text, "total 4");

    const dom::Node* field = pg.by_tag("input");
    ASSERT_TRUE(field);
    ElementId field_id = field->id;
    pg.fire(field, "input", Json{{"value", "Sub"}});
    auto r = pg.fire(pg.doc.find(field_id), "keydown", Json{{"key", "Enter"}, {"code", "Enter"}});
    EXPECT_EQ(r, (EventResult{true, false}));
    auto html = pg.doc.html();
    EXPECT_NE(html.find("<li data-id=\"3\">Sub<button"), std::string::npos) << html;
    EXPECT_EQ(pg.doc.find(field_id)->props.count("value"), 0u);  // the field was cleared

    // Remove the first row: the others keep their elements.
    const dom::Node* ul = pg.doc.find(pg.by_class("remove")->parent->parent->id);
    ElementId second = ul->children[1]->id;
    pg.fire(ul->children[0]->children[1], "click");
    ul = pg.doc.find(ul->id);
    ASSERT_EQ(ul->children.size(), 2u);
    EXPECT_EQ(ul->children[0]->id, second);
}

}  // namespace
