// Signals, stores, memos, effects; components, props, hooks, contexts,
// events, removal, page generation.
#include <gtest/gtest.h>

#include <cmath>

#include <fmt/format.h>

#include "base/log.h"
#include "reactive/dom.h"
#include "reactive/fake_page.h"
#include "reactive/root.h"

using namespace reactive;

namespace {

struct Fixture {
    ManualLoop loop;
    dom::Document doc;
    std::vector<std::string> batches;
    std::vector<std::string> log;  // what happened, in order
    Root root{loop, [this](EditBatch b) {
                  batches.push_back(serialize(b));
                  log.push_back("batch");
                  auto r = doc.apply(b);
                  EXPECT_TRUE(r) << r.error();
              }};
    void settle() { loop.run_until_idle(); }
    // The element id of the first element whose markup has `attr`="value".
    ElementId find(const std::string& attr, const std::string& value) const {
        std::vector<const dom::Node*> stack{&doc.root()};
        while (!stack.empty()) {
            auto* n = stack.back();
            stack.pop_back();
            auto it = n->attrs.find(attr);
            if (it != n->attrs.end() && it->second == value) return n->id;
            for (auto* c : n->children) stack.push_back(c);
        }
        return 0;
    }
};

// ---- cells without components ---------------------------------------------------

struct CountingObserver : detail::Observer {
    int marks = 0;

protected:
    void on_mark(detail::ObsState) override { ++marks; }
};

TEST(Signal, ReadSubscribesPeekDoesNotAndEveryWriteNotifies) {
    Signal<int> s(1);
    CountingObserver o;
    {
        detail::Tracking t(&o);
        EXPECT_EQ(s(), 1);
    }
    s.set(1);  // same value: still a write
    EXPECT_EQ(o.marks, 1);
    o.state = detail::ObsState::Clean;
    s.update([](int& v) { v += 2; });
    EXPECT_EQ(o.marks, 2);
    EXPECT_EQ(s.peek(), 3);

    CountingObserver p;
    {
        detail::Tracking t(&p);
        (void)s.peek();
        untrack([&] { return s(); });
    }
    s.set(4);
    EXPECT_EQ(p.marks, 0);
}

struct Tip {
    bool visible = false;
    std::string text;
    float x = 0;
};

TEST(Store, FieldReadersWakeOnlyForTheirField) {
    Store<Tip> st;
    CountingObserver on_text, on_visible, on_all;
    {
        detail::Tracking t(&on_text);
        (void)st.get(&Tip::text);
    }
    {
        detail::Tracking t(&on_visible);
        (void)st.field(&Tip::visible)();
    }
    {
        detail::Tracking t(&on_all);
        (void)st();
    }
    st.set(&Tip::text, std::string("hello"));
    EXPECT_EQ(on_text.marks, 1);
    EXPECT_EQ(on_visible.marks, 0);
    EXPECT_EQ(on_all.marks, 1);

    // Several fields in one write: one notification per reader.
    on_text.state = on_visible.state = on_all.state = detail::ObsState::Clean;
    {
        auto w = st.write();
        w->visible = true;
        w->text = "bye";
        w->x = 3;
        EXPECT_EQ(on_visible.marks, 0);  // nothing before the guard ends
    }
    EXPECT_EQ(on_text.marks, 2);
    EXPECT_EQ(on_visible.marks, 1);
    EXPECT_EQ(on_all.marks, 2);

    // A write that leaves a field unchanged does not wake its readers.
    on_text.state = on_visible.state = on_all.state = detail::ObsState::Clean;
    st.set(&Tip::x, 5.0f);
    EXPECT_EQ(on_text.marks, 2);
    EXPECT_EQ(on_visible.marks, 1);
    EXPECT_EQ(on_all.marks, 3);
    EXPECT_EQ(st.peek(&Tip::x), 5.0f);
}

TEST(Memo, LazyAndRecomputedOnlyAfterAChangeThatMatters) {
    Signal<int> a(2);
    Memo<bool> even([a] { return a() % 2 == 0; });
    EXPECT_EQ(even.computations(), 0u);  // nothing until read
    CountingObserver o;
    {
        detail::Tracking t(&o);
        EXPECT_TRUE(even());
    }
    EXPECT_EQ(even.computations(), 1u);
    EXPECT_TRUE(even());
    EXPECT_EQ(even.computations(), 1u);  // no input changed

    a.set(4);  // stale, but not recomputed yet
    EXPECT_EQ(even.computations(), 1u);
    EXPECT_EQ(o.state, detail::ObsState::Check);
    EXPECT_FALSE(o.confirm_dirty());  // recomputed: still even, reader stays asleep
    EXPECT_EQ(even.computations(), 2u);

    o.state = detail::ObsState::Clean;
    {
        detail::Tracking t(&o);
        (void)even();
    }
    a.set(5);
    EXPECT_TRUE(o.confirm_dirty());
    EXPECT_FALSE(even.peek());
    EXPECT_EQ(even.computations(), 3u);
}

TEST(Effect, RunsSoonAndAgainOnChangeAndOnceWhenItReadNothing) {
    ManualLoop loop;
    Root root(loop, nullptr);
    Signal<int> a(1);
    std::vector<int> seen;
    int plain = 0;
    Effect e([&] { seen.push_back(a()); });
    Effect once([&] { ++plain; });
    EXPECT_TRUE(seen.empty());  // not synchronously
    loop.run_until_idle();
    EXPECT_EQ(seen, std::vector<int>{1});
    a.set(2);
    a.set(3);  // two writes, one run
    loop.run_until_idle();
    EXPECT_EQ(seen, (std::vector<int>{1, 3}));
    EXPECT_EQ(plain, 1);
    loop.run_until_idle();
    EXPECT_EQ(plain, 1);
}

// ---- components and props ---------------------------------------------------------

std::map<std::string, int> g_renders;

struct RowProps {
    std::string name;
    double level = 0;
    Callback<int> onpick;
    Element children;
    bool operator==(const RowProps&) const = default;
};

Element row(const RowProps& p) {
    ++g_renders[p.name];
    return div().cls("row").attr("data-name", p.name)(fmt::format("{:.1f}", p.level), p.children);
}

struct Parent {
    Signal<int> tick{0};
    Signal<double> level_b{2.0};
    Callback<int> stable_cb{[](int) {}};
    Element stable_children = span()("kid");
    bool new_callback = false;
    bool new_children = false;
};
Parent* g_parent;

Element parent_component() {
    auto& P = *g_parent;
    (void)P.tick();
    ++g_renders["parent"];
    Callback<int> cb = P.new_callback ? Callback<int>([](int) {}) : P.stable_cb;
    Element kids = P.new_children ? span()("kid") : P.stable_children;
    return div()(component(row, RowProps{"a", 1.0, P.stable_cb, {}}),
                 component(row, RowProps{"b", P.level_b(), P.stable_cb, {}}),
                 component(row, RowProps{"c", 3.0, cb, kids}),
                 component(row, RowProps{"nan", std::nan(""), P.stable_cb, {}}));
}

TEST(Components, ChildrenRenderOnlyWhenTheirPropsDiffer) {
    Fixture f;
    Parent P;
    g_parent = &P;
    g_renders.clear();
    f.root.mount(component(parent_component));
    EXPECT_EQ(g_renders, (std::map<std::string, int>{{"parent", 1}, {"a", 1}, {"b", 1}, {"c", 1}, {"nan", 1}}));

    // Parent renders again with equal props: only NaN (never equal) renders.
    P.tick.set(1);
    f.settle();
    EXPECT_EQ(g_renders, (std::map<std::string, int>{{"parent", 2}, {"a", 1}, {"b", 1}, {"c", 1}, {"nan", 2}}));

    // One changed field: exactly that child.
    P.level_b.set(2.5);
    f.settle();
    EXPECT_EQ(g_renders["b"], 2);
    EXPECT_EQ(g_renders["a"], 1);
    EXPECT_EQ(g_renders["c"], 1);
    EXPECT_NE(f.doc.html().find("2.5"), std::string::npos);

    // Callbacks and element trees compare by identity.
    P.new_callback = true;
    P.tick.set(2);
    f.settle();
    EXPECT_EQ(g_renders["c"], 2);
    P.new_callback = false;
    P.new_children = true;
    P.tick.set(3);
    f.settle();
    EXPECT_EQ(g_renders["c"], 3);
    EXPECT_EQ(g_renders["a"], 1);
}

// A signal read by one leaf only re-renders that leaf, with one text edit.
int g_leaf_renders[3];
int g_leaves_parent_renders = 0;
Signal<int>* g_leaf_sigs[3];
struct LeafProps {
    int index;
    Signal<int> value;
    bool operator==(const LeafProps&) const = default;
};
Element leaf(const LeafProps& p) {
    ++g_leaf_renders[p.index];
    return span()(std::to_string(p.value()));
}
Element leaves() {
    ++g_leaves_parent_renders;
    return div()(component(leaf, LeafProps{0, *g_leaf_sigs[0]}), component(leaf, LeafProps{1, *g_leaf_sigs[1]}),
                 component(leaf, LeafProps{2, *g_leaf_sigs[2]}));
}

TEST(Components, ASignalReadByOneLeafRerendersOnlyThatLeaf) {
    Fixture f;
    Signal<int> a(1), b(2), c(3);
    g_leaf_sigs[0] = &a, g_leaf_sigs[1] = &b, g_leaf_sigs[2] = &c;
    f.root.mount(component(leaves));
    EXPECT_EQ(f.doc.html(), "<div><span>1</span><span>2</span><span>3</span></div>");
    b.set(20);
    f.settle();
    EXPECT_EQ(f.doc.html(), "<div><span>1</span><span>20</span><span>3</span></div>");
    EXPECT_EQ(g_leaves_parent_renders, 1);
    EXPECT_EQ(g_leaf_renders[0], 1);
    EXPECT_EQ(g_leaf_renders[1], 2);
    EXPECT_EQ(g_leaf_renders[2], 1);
    EXPECT_EQ(f.batches.back(), R"([["x",5,"20"]])");
}

// Hooks keep state across renders; keyed children keep their instance.
struct ItemProps {
    std::string label;
    bool operator==(const ItemProps&) const = default;
};
Element item(const ItemProps& p) {
    auto clicks = use_signal(0);
    return li().attr("data-label", p.label).on_click([clicks](const MouseEvent&) { clicks.update([](int& n) { ++n; }); })(
        p.label, ":", std::to_string(clicks()));
}
Signal<std::vector<std::string>>* g_items;
Element list_component() {
    std::vector<Element> rows;
    for (auto& s : (*g_items)()) rows.push_back(component(item, ItemProps{s}).key(s));
    return ul()(std::move(rows));
}

TEST(Components, KeyedListKeepsStateAndElementsAcrossMoves) {
    Fixture f;
    Signal<std::vector<std::string>> items({"x", "y", "z"});
    g_items = &items;
    f.root.mount(component(list_component));
    ElementId y = f.find("data-label", "y");
    ASSERT_NE(y, 0u);
    auto r = f.root.handle_event(y, "click", Json::object());
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, EventResult{});
    f.settle();
    EXPECT_EQ(f.doc.html(), "<ul><li data-label=\"x\" on:click=\"0\">x:0</li><li data-label=\"y\" on:click=\"0\">y:1</li>"
                            "<li data-label=\"z\" on:click=\"0\">z:0</li></ul>");
    items.set({"z", "y", "w", "x"});
    f.settle();
    EXPECT_EQ(f.find("data-label", "y"), y);
    EXPECT_EQ(f.doc.html(), "<ul><li data-label=\"z\" on:click=\"0\">z:0</li><li data-label=\"y\" on:click=\"0\">y:1</li>"
                            "<li data-label=\"w\" on:click=\"0\">w:0</li><li data-label=\"x\" on:click=\"0\">x:0</li></ul>");
}

// ---- effects, memos and removal in components -------------------------------------

struct Probe {
    std::vector<std::string>* log;
    Signal<int> value;
    bool operator==(const Probe&) const = default;
};
Element probe(const Probe& p) {
    auto doubled = use_memo([v = p.value] { return v() * 2; });
    use_effect([p] { p.log->push_back("effect " + std::to_string(p.value())); });
    use_effect([p] { p.log->push_back("once"); });
    use_on_remove([p] { p.log->push_back("removed"); });
    p.log->push_back("render");
    return span()(std::to_string(doubled()));
}
Signal<bool>* g_show;
Probe* g_probe;
Element probe_host() { return div()(when((*g_show)(), [] { return component(probe, *g_probe); })); }

TEST(Components, EffectsRunAfterTheRenderAndRemovalHooksRun) {
    Fixture f;
    Signal<bool> show(true);
    Probe pr{&f.log, Signal<int>(1)};
    g_show = &show;
    g_probe = &pr;
    f.root.mount(component(probe_host));
    EXPECT_EQ(f.log, (std::vector<std::string>{"render", "batch", "effect 1", "once"}));
    f.log.clear();
    pr.value.set(2);
    f.settle();
    EXPECT_EQ(f.log, (std::vector<std::string>{"render", "batch", "effect 2"}));
    f.log.clear();
    show.set(false);
    f.settle();
    EXPECT_EQ(f.log, (std::vector<std::string>{"removed", "batch"}));
    EXPECT_EQ(f.doc.html(), "<div></div>");
    f.log.clear();
    pr.value.set(3);  // nothing listens any more
    f.settle();
    EXPECT_TRUE(f.log.empty());
}

// use_reactive turns a prop into a signal an effect can follow.
struct FieldProps {
    std::string value;
    std::vector<std::string>* synced;
    bool operator==(const FieldProps&) const = default;
};
Element field(const FieldProps& p) {
    auto v = use_reactive(p.value);
    use_effect([v, out = p.synced] { out->push_back(v()); });
    return input().default_value(v());
}
Signal<std::string>* g_field_value;
std::vector<std::string>* g_synced;
Element field_host() { return component(field, FieldProps{(*g_field_value)(), g_synced}); }

TEST(Components, AnEffectFollowsAPropThroughUseReactive) {
    Fixture f;
    Signal<std::string> value("a");
    std::vector<std::string> synced;
    g_field_value = &value;
    g_synced = &synced;
    f.root.mount(component(field_host));
    value.set("b");
    f.settle();
    value.set("b");  // parent renders, prop unchanged: no effect run
    f.settle();
    EXPECT_EQ(synced, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(f.doc.html(), "<input value=\"b\"></input>");
}

// ---- contexts -------------------------------------------------------------------

struct Theme {
    std::string name;
};
Element ctx_leaf() {
    auto theme = use_context<Signal<std::string>>();
    auto missing = try_use_context<Theme>();
    return span().attr("data-theme", theme())(missing ? "has theme" : "no theme");
}
Element ctx_middle() {
    provide_context(Signal<std::string>("inner"));
    return component(ctx_leaf);
}
Element ctx_root() { return div()(component(ctx_leaf), component(ctx_middle)); }

TEST(Components, ContextsComeFromTheNearestProvider) {
    Fixture f;
    Signal<std::string> outer("outer");
    f.root.provide_context(outer);
    f.root.mount(component(ctx_root));
    EXPECT_EQ(f.doc.html(), "<div><span data-theme=\"outer\">no theme</span><span data-theme=\"inner\">no theme</span></div>");
    outer.set("changed");
    f.settle();
    EXPECT_EQ(f.doc.html(), "<div><span data-theme=\"changed\">no theme</span><span data-theme=\"inner\">no theme</span></div>");
}

// ---- events ---------------------------------------------------------------------

Element events_component() {
    return div().attr("data-k", "outer").on_contextmenu_blocking([](MouseEvent& e) {
        e.prevent_default();
        if (e.button == 2 && e.shift) e.stop_propagation();
    })(input().attr("data-k", "in").on_keydown([](const KeyboardEvent&) {}));
}

TEST(Events, SyncListenersDecidePreventAndStop) {
    Fixture f;
    f.root.mount(component(events_component));
    EXPECT_EQ(f.doc.html(), "<div data-k=\"outer\" on:contextmenu=\"1\"><input data-k=\"in\" on:keydown=\"0\"></input></div>");
    ElementId outer = f.find("data-k", "outer");
    auto r = f.root.handle_event(outer, "contextmenu", Json{{"button", 2}, {"shift", true}, {"client_x", 3.5}});
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, (EventResult{true, true}));
    r = f.root.handle_event(outer, "contextmenu", Json{{"button", 2}});
    EXPECT_EQ(*r, (EventResult{true, false}));
    EXPECT_FALSE(f.root.handle_event(outer, "click", Json::object()));   // no such listener
    EXPECT_FALSE(f.root.handle_event(999, "click", Json::object()));     // no such element
    EXPECT_EQ(*f.root.handle_event(f.find("data-k", "in"), "keydown", Json{{"key", "a"}}), EventResult{});
}

TEST(Events, RecordsReadTheTypedFields) {
    PointerEvent p;
    read_event(Json::parse(R"({"client_x":1,"client_y":2.5,"button":0,"buttons":1,"pointer_id":7,
        "pointer_type":"pen","ctrl":true,"page_x":10})"), p);
    EXPECT_EQ(p.client_y, 2.5);
    EXPECT_EQ(p.pointer_id, 7);
    EXPECT_EQ(p.pointer_type, "pen");
    EXPECT_TRUE(p.ctrl);
    EXPECT_EQ(p.page_x, 10);
    KeyboardEvent k;
    read_event(Json::parse(R"({"key":"Enter","code":"Enter","composing":true,"repeat":false})"), k);
    EXPECT_EQ(k.key, "Enter");
    EXPECT_TRUE(k.composing);
    TouchEvent t;
    read_event(Json::parse(R"({"touches":[{"id":3,"client_x":4,"client_y":5}]})"), t);
    ASSERT_EQ(t.touches.size(), 1u);
    EXPECT_EQ(t.touches[0], (Touch{3, 4, 5}));
    WheelEvent w;
    read_event(Json::parse(R"({"delta_y":-120,"delta_mode":1,"buttons":"bad"})"), w);
    EXPECT_EQ(w.delta_y, -120);
    EXPECT_EQ(w.delta_mode, 1);
    EXPECT_EQ(w.buttons, 0);
    EXPECT_EQ(event_family("pointerenter"), EventFamily::Pointer);
    EXPECT_EQ(event_family("contextmenu"), EventFamily::Mouse);
    EXPECT_EQ(event_family("focusout"), EventFamily::Focus);
}

// ---- mounted elements, queries and scripts -----------------------------------------

struct MountedState {
    Signal<std::optional<ElementHandle>> handle;
    Signal<std::string> rect;
};
MountedState* g_mounted;
Element measured() {
    auto& m = *g_mounted;
    return div()
        .on_mounted([&m](const MountedEvent& e) { m.handle.set(e.element()); })
        .on_click([&m](const MouseEvent&) {
            spawn([](MountedState& m) -> Task<> {
                auto r = co_await m.handle.peek()->client_rect();
                m.rect.set(r ? fmt::format("{}x{}", r->width, r->height) : "error: " + r.error());
            }(m));
        })(m.rect());
}

TEST(Page, MountedHandlesQueryThePage) {
    Fixture f;
    FakePage page;
    f.root.set_page(&page);
    MountedState m;
    g_mounted = &m;
    f.root.mount(component(measured));
    auto ids = f.doc.mounted_listeners();
    ASSERT_EQ(ids.size(), 1u);
    f.root.handle_event(ids[0], "mounted", Json::object());
    ASSERT_TRUE(m.handle.peek());
    EXPECT_EQ(m.handle.peek()->id(), ids[0]);
    f.root.handle_event(ids[0], "click", Json::object());
    ASSERT_EQ(page.queries.size(), 1u);  // the task ran up to its first wait
    EXPECT_EQ(page.queries[0].kind, QueryKind::ClientRect);
    page.queries[0].reply(Json{{"x", 1}, {"y", 2}, {"width", 30}, {"height", 4.5}});
    f.settle();
    EXPECT_EQ(f.doc.html(), "<div on:click=\"0\" on:mounted=\"0\">30x4.5</div>");

    f.root.handle_event(ids[0], "click", Json::object());
    page.queries[1].reply(base::fail("element is gone"));
    f.settle();
    EXPECT_EQ(f.doc.html(), "<div on:click=\"0\" on:mounted=\"0\">error: element is gone</div>");
}

TEST(Page, ScriptsFireAwaitAndTalkBothWays) {
    ManualLoop loop;
    Root root(loop, nullptr);
    FakePage page;
    root.set_page(&page);
    std::vector<std::string> got;
    Eval kept;
    spawn_root([](std::vector<std::string>& got, Eval& kept) -> Task<> {
        eval("document.activeElement && document.activeElement.blur();");  // fire and forget
        auto h = co_await eval("return window.innerHeight;").result();
        got.push_back(h ? h->dump() : "error " + h.error());
        Eval ch = eval("for (;;) send(await recv());");
        kept = ch;
        EXPECT_TRUE(ch.send(Json{1, 2}));
        for (;;) {
            auto v = co_await ch.recv();
            if (!v) {
                got.push_back("closed: " + v.error());
                break;
            }
            got.push_back(v->dump());
        }
    }(got, kept));
    ASSERT_EQ(page.scripts.size(), 2u);
    EXPECT_TRUE(page.scripts[0].feed.released());  // nobody holds the fire-and-forget script
    page.scripts[1].feed.complete(Json(800));
    loop.run_until_idle();
    ASSERT_EQ(page.scripts.size(), 3u);
    EXPECT_EQ(page.scripts[2].sent, (std::vector<Json>{Json{1, 2}}));
    page.scripts[2].feed.push(Json("a"));
    page.scripts[2].feed.push(Json(true));
    loop.run_until_idle();
    page.scripts[2].feed.close("page reloaded");
    loop.run_until_idle();
    EXPECT_EQ(got, (std::vector<std::string>{"800", "\"a\"", "true", "closed: page reloaded"}));
    auto sent = kept.send(Json(3));
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error(), "page reloaded");

    // Without a page an evaluation fails at once.
    root.set_page(nullptr);
    std::string err;
    spawn_root([](std::string& err) -> Task<> { err = (co_await eval("1").recv()).error(); }(err));
    loop.run_until_idle();
    EXPECT_EQ(err, "no page");
}

// Reads every value of a channel until it fails.
Task<> drain(Eval ev, std::vector<std::string>& out) {
    for (;;) {
        auto v = co_await ev.recv();
        out.push_back(v ? v->dump() : "failed: " + v.error());
        if (!v) co_return;
    }
}

TEST(Page, ChannelOutlivesTheBodyUntilEndOrThrow) {
    ManualLoop loop;
    Root root(loop, nullptr);
    FakePage page;
    root.set_page(&page);
    // Values sent after the body returned arrive; then end() fails recv().
    std::vector<std::string> got;
    Eval ev = eval("setTimeout(() => { send(1); send(2); end(); }, 10); return 'installed';");
    spawn_root(drain(ev, got));
    auto& feed = page.scripts[0].feed;
    feed.complete(Json("installed"));
    feed.push(Json(1));
    loop.run_until_idle();
    EXPECT_FALSE(ev.ended());
    EXPECT_TRUE(ev.send(Json("still open")));
    feed.push(Json(2));
    feed.end("the script ended its channel");
    feed.push(Json(3));  // after the end: dropped
    loop.run_until_idle();
    EXPECT_EQ(got, (std::vector<std::string>{"1", "2", "failed: the script ended its channel"}));
    EXPECT_FALSE(ev.send(Json(4)));

    // A script that throws: what it sent before still arrives, then recv() fails.
    std::vector<std::string> thrown;
    Eval bad = eval("send('first'); throw new Error('nope');");
    spawn_root(drain(bad, thrown));
    page.scripts[1].feed.push(Json("first"));
    page.scripts[1].feed.complete(base::fail("nope"));
    loop.run_until_idle();
    EXPECT_EQ(thrown, (std::vector<std::string>{"\"first\"", "failed: nope"}));
    EXPECT_FALSE(bad.send(Json(1)));

    // first(): the value sent while the body ran, or a failure when it sent none.
    std::vector<std::string> firsts;
    auto take_first = [](Eval ev, std::vector<std::string>& out) -> Task<> {
        auto v = co_await ev.first();
        out.push_back(v ? v->dump() : "failed: " + v.error());
    };
    spawn_root(take_first(eval("send(window.innerHeight);"), firsts));
    spawn_root(take_first(eval("return 1;"), firsts));
    page.scripts[2].feed.push(Json(640));
    page.scripts[2].feed.complete(Json());
    page.scripts[3].feed.complete(Json(1));
    loop.run_until_idle();
    EXPECT_EQ(firsts, (std::vector<std::string>{"640", "failed: the script sent no value"}));

    // Sends fail while the page is being rebuilt.
    Eval live = eval("for (;;) await recv();");
    page.rebuilding = true;
    EXPECT_FALSE(live.send(Json(1)));
    page.rebuilding = false;
    EXPECT_TRUE(live.send(Json(1)));

    // The host letting go of its last copy tells the runtime.
    bool released = false;
    page.scripts[4].feed.on_release([&] { released = true; });
    live = Eval();
    EXPECT_TRUE(released);
    EXPECT_TRUE(page.scripts[4].feed.released());
}

// ---- page generation and recovery -----------------------------------------------------

int g_generation_seen = -1;
Element recovering_root() {
    g_generation_seen = static_cast<int>(use_page_generation());
    if (use_recovering()) return Element();
    return div().cls("app")(span()("content"), input().value("x").on_input([](const InputEvent&) {}));
}

Signal<int>* g_poke;
int g_child_generation = -1;
Element generation_child() {
    (void)(*g_poke)();
    g_child_generation = static_cast<int>(use_page_generation());
    return span()("child");
}
Element generation_parent() {
    if (use_recovering()) return Element();
    return div()(component(generation_child, "generation_child"));
}

TEST(Root, GenerationSeenByASignalDrivenRenderAfterRecovery) {
    Fixture f;
    Signal<int> poke(0);
    g_poke = &poke;
    f.root.mount(component(generation_parent));
    EXPECT_EQ(g_child_generation, 0);
    f.root.begin_recovery();
    f.doc = dom::Document();
    f.root.finish_recovery();
    f.settle();
    g_child_generation = -1;
    poke.set(1);  // the child renders by itself, outside the runtime's own renders
    f.settle();
    EXPECT_EQ(g_child_generation, 1);
}

TEST(Root, RecoveryRebuildsTheTreeInAFreshPage) {
    Fixture f;
    f.root.mount(component(recovering_root));
    EXPECT_EQ(g_generation_seen, 0);
    EXPECT_TRUE(f.root.uses_page_generation());
    std::string before = f.doc.html();
    std::size_t batches = f.batches.size();

    f.root.begin_recovery();  // the page died
    EXPECT_EQ(f.batches.size(), batches);  // nothing sent to the dead page
    EXPECT_TRUE(f.root.recovering());

    f.doc = dom::Document();  // the reloaded page is empty
    f.root.finish_recovery();
    f.settle();
    EXPECT_EQ(g_generation_seen, 1);
    EXPECT_EQ(f.root.page_generation(), 1u);
    EXPECT_EQ(f.doc.html(), before);
}

}  // namespace

namespace {

// ---- failures stay contained ---------------------------------------------------------

Signal<int>* g_spin;
Element spinning() {
    int v = (*g_spin)();
    g_spin->set(v + 1);  // wakes itself on every render
    return span()("spin");
}

TEST(Failures, ComponentsThatKeepWakingThemselvesDoNotHang) {
    base::log::Capture cap;
    Fixture f;
    Signal<int> spin(0);
    g_spin = &spin;
    f.root.mount(component(spinning));
    bool warned = false;
    for (auto& r : cap.records()) warned |= r.message.find("keep waking") != std::string::npos;
    EXPECT_TRUE(warned);
    f.root.unmount();
}

Element failing_effect() {
    use_effect([] { throw std::runtime_error("boom"); });
    return span()("ok");
}

TEST(Failures, AFailingEffectIsLoggedAndTheRestGoesOn) {
    base::log::Capture cap;
    Fixture f;
    f.root.mount(component(failing_effect));
    EXPECT_EQ(f.doc.html(), "<span>ok</span>");
    ASSERT_FALSE(cap.records().empty());
    EXPECT_EQ(cap.records().back().message, "effect failed: boom");
}

Element needs_context() {
    (void)use_context<Theme>();
    return Element();
}

TEST(FailuresDeathTest, ARequiredContextWithoutProviderIsAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Fixture f;
            f.root.mount(component(needs_context));
        },
        "no provider");
}

// A listener that runs a nested loop in which its own component goes away.
struct Nested {
    Signal<bool> show{true};
    Fixture* f = nullptr;
    bool task_ran = false;
};
Nested* g_nested;
Element nested_child() {
    return button().cls("go").on_click([](const MouseEvent&) {
        g_nested->show.set(false);
        g_nested->f->settle();  // a modal dialog's loop, say
        spawn([](Nested& n) -> Task<> {
            n.task_ran = true;
            co_return;
        }(*g_nested));
    })("go");
}
Element nested_host() { return div()(when(g_nested->show(), [] { return component(nested_child); })); }

TEST(Failures, AListenerOutlivingItsComponentSpawnsIntoTheRoot) {
    Fixture f;
    Nested n;
    n.f = &f;
    g_nested = &n;
    f.root.mount(component(nested_host));
    ElementId go = f.find("class", "go");
    auto r = f.root.handle_event(go, "click", Json::object());
    EXPECT_TRUE(r);
    EXPECT_TRUE(n.task_ran);
    EXPECT_EQ(f.doc.html(), "<div></div>");
}

}  // namespace

namespace {

// ---- stable callbacks and resources ------------------------------------------------

int g_cb_child_renders = 0;
struct CbProps {
    Callback<int> on;
    bool operator==(const CbProps&) const = default;
};
Element cb_child(const CbProps& p) {
    ++g_cb_child_renders;
    return button().cls("cb").on_click([on = p.on](const MouseEvent&) { on(1); })("+");
}
Signal<int>* g_cb_total;
Element cb_parent() {
    auto total = *g_cb_total;
    int now = total();
    // A new lambda every render, one callback identity.
    auto on = use_callback<int>([total, now](int d) { total.set(now + d); });
    return div()(component(cb_child, CbProps{on}), span()(std::to_string(now)));
}

TEST(Components, UseCallbackKeepsOneIdentityAndCallsTheLatestFunction) {
    Fixture f;
    Signal<int> total(0);
    g_cb_total = &total;
    g_cb_child_renders = 0;
    f.root.mount(component(cb_parent));
    for (int i = 0; i < 3; ++i) {
        f.root.handle_event(f.find("class", "cb"), "click", Json::object());
        f.settle();
    }
    EXPECT_EQ(total.peek(), 3);  // each click saw the latest `now`
    EXPECT_EQ(g_cb_child_renders, 1);
}

struct ResourceProbe {
    Signal<bool> masked{false};
    std::vector<Pending<bool>> answers;
    int starts = 0;
};
ResourceProbe* g_res;
Element resource_user() {
    auto probe = use_resource([] () -> Task<std::string> {
        auto& r = *g_res;
        bool masked = r.masked();  // read before the first wait: followed
        ++r.starts;
        Pending<bool> answer;
        r.answers.push_back(answer);
        bool ok = co_await answer;
        co_return std::string(masked ? "masked " : "plain ") + (ok ? "yes" : "no");
    });
    auto v = probe();
    return span()(v ? *v : "waiting");
}

TEST(Components, ResourcesRunAfterRenderAndAgainWhenWhatTheyReadChanges) {
    Fixture f;
    ResourceProbe r;
    g_res = &r;
    f.root.mount(component(resource_user));
    EXPECT_EQ(f.doc.html(), "<span>waiting</span>");
    ASSERT_EQ(r.starts, 1);
    r.answers[0].resolve(true);
    f.settle();
    EXPECT_EQ(f.doc.html(), "<span>plain yes</span>");
    r.masked.set(true);  // restarts the probe
    f.settle();
    ASSERT_EQ(r.starts, 2);
    r.masked.set(false);  // and again; the second run is abandoned
    f.settle();
    ASSERT_EQ(r.starts, 3);
    r.answers[1].resolve(true);
    r.answers[2].resolve(false);
    f.settle();
    EXPECT_EQ(f.doc.html(), "<span>plain no</span>");
}

}  // namespace

namespace {

int g_memo_reader_renders = 0;
Signal<int>* g_memo_input;
Element memo_reader() {
    ++g_memo_reader_renders;
    auto input = *g_memo_input;
    auto sign = use_memo([input] { return input() >= 0 ? std::string("positive") : std::string("negative"); });
    auto label = use_signal("sign");
    return svg().attr("width", 12).attr("opacity", 0.5)(svg_text()(label() + " " + sign()));
}

TEST(Components, AMemoThatKeepsItsValueDoesNotWakeItsReader) {
    Fixture f;
    Signal<int> input(1);
    g_memo_input = &input;
    g_memo_reader_renders = 0;
    f.root.mount(component(memo_reader));
    EXPECT_EQ(f.doc.html(), "<svg:svg opacity=\"0.5\" width=\"12\"><svg:text>sign positive</text></svg>");
    input.set(5);
    f.settle();
    EXPECT_EQ(g_memo_reader_renders, 1);
    input.set(-5);
    f.settle();
    EXPECT_EQ(g_memo_reader_renders, 2);
    EXPECT_EQ(f.doc.html(), "<svg:svg opacity=\"0.5\" width=\"12\"><svg:text>sign negative</text></svg>");
}

}  // namespace
