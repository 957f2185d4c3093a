// The diff: edits from one render to the next, their wire form, and the
// in-memory DOM that applies them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/dom.h"
#include "reactive/root.h"

using namespace reactive;

namespace {

// A tree description, turned into fresh Elements for every render.
struct Spec {
    NodeKind kind = NodeKind::Element;
    std::string tag = "div";
    bool svg = false;
    std::string key;
    std::string text;
    std::map<std::string, std::string> attrs;
    std::map<std::string, bool> flags;
    std::map<std::string, std::string> styles;
    std::map<std::string, std::string> props;
    std::map<std::string, bool> listeners;  // event -> sync
    std::optional<std::string> html;
    std::vector<Spec> children;
    int component = -1;  // kind Component: index into g_components
};

// Components of the nested test: each renders one of its variants, chosen by
// its own signal.
struct CompState {
    Signal<int> choice{0};
    std::vector<Spec> variants;
};
std::vector<std::unique_ptr<CompState>> g_components;
struct CompProps {
    int index;
    bool operator==(const CompProps&) const = default;
};
Element build(const Spec& s);
Element nested(const CompProps& p) {
    auto& c = *g_components[p.index];
    return build(c.variants[c.choice()]);
}

Element build(const Spec& s) {
    switch (s.kind) {
    case NodeKind::Text: {
        Element e(s.text);
        if (!s.key.empty()) e.key(s.key);
        return e;
    }
    case NodeKind::Fragment: {
        std::vector<Element> c;
        for (auto& x : s.children) c.push_back(build(x));
        Element e(std::move(c));
        if (!s.key.empty()) e.key(s.key);
        return e;
    }
    case NodeKind::Empty: return Element();
    case NodeKind::Component: {
        Element e = component(nested, CompProps{s.component});
        if (!s.key.empty()) e.key(s.key);
        return e;
    }
    default: break;
    }
    Element e = s.svg ? svg_el(s.tag) : el(s.tag);
    if (!s.key.empty()) e.key(s.key);
    for (auto& [k, v] : s.attrs) e.attr(k, v);
    for (auto& [k, v] : s.flags) e.attr(k, v);
    for (auto& [k, v] : s.styles) e.style(k, v);
    for (auto& [k, v] : s.props) e.prop(k, v);
    for (auto& [ev, sync] : s.listeners) {
        // Blocking or posted, with the page-side options varying by name.
        EventOptions o{.prevent_default = ev.size() % 2 == 0, .stop_propagation = ev.size() % 3 == 0};
        if (sync) e.on_blocking<MouseEvent>(ev, [](MouseEvent&) {}, o);
        else e.on<MouseEvent>(ev, [](const MouseEvent&) {}, o);
    }
    if (s.html) e.inner_html(*s.html);
    for (auto& c : s.children) e.append(build(c));
    return e;
}

struct Gen {
    std::mt19937 rng;
    int uid = 0;
    explicit Gen(unsigned seed) : rng(seed) {}
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
    bool chance(int percent) { return pick(100) < percent; }
    std::string word() {
        static const char* words[] = {"a", "b", "c<d>", "\"q\"", "x&y", "", "long text", "é"};
        return words[pick(8)];
    }

    void decorate(Spec& s) {
        static const char* attrs[] = {"class", "title", "data-x", "href"};
        static const char* flags[] = {"disabled", "hidden", "checked"};
        static const char* styles[] = {"left", "top", "color"};
        static const char* events[] = {"click", "mousedown", "keydown", "input"};
        s.attrs.clear(), s.flags.clear(), s.styles.clear(), s.props.clear(), s.listeners.clear();
        for (auto a : attrs)
            if (chance(40)) s.attrs[a] = word();
        for (auto f : flags)
            if (chance(25)) s.flags[f] = chance(50);
        for (auto st : styles)
            if (chance(30)) s.styles[st] = std::to_string(pick(50)) + "px";
        if (chance(20)) s.props["value"] = word();
        for (auto ev : events)
            if (chance(25)) s.listeners[ev] = chance(50);
        s.attrs["data-uid"] = std::to_string(++uid);
    }

    Spec node(int depth, bool comps = false) {
        Spec s;
        int r = pick(100);
        if (depth <= 0 || r < 20) {
            s.kind = NodeKind::Text;
            s.text = word();
            return s;
        }
        if (r < 25) {
            s.kind = NodeKind::Empty;
            return s;
        }
        if (r < 35) {
            s.kind = NodeKind::Fragment;
            s.children = list(depth - 1, false, comps);
            return s;
        }
        static const char* tags[] = {"div", "span", "p", "button"};
        if (chance(15)) {
            s.svg = true;
            s.tag = chance(50) ? "g" : "path";
        } else {
            s.tag = tags[pick(4)];
        }
        decorate(s);
        if (chance(8)) s.html = "<b>" + word() + "</b>";
        else s.children = list(depth - 1, chance(40), comps);
        return s;
    }

    // A component with three variants of output (possibly several nodes,
    // nothing, nested components).
    Spec comp(int depth) {
        auto st = std::make_unique<CompState>();
        for (int v = 0; v < 3; ++v) {
            Spec out;
            int r = pick(100);
            if (r < 35) {
                out.kind = NodeKind::Fragment;
                out.children = list(depth - 1, chance(50), true);
            } else if (r < 45) {
                out.kind = NodeKind::Empty;
            } else {
                out = node(depth - 1, true);
            }
            st->variants.push_back(std::move(out));
        }
        g_components.push_back(std::move(st));
        Spec s;
        s.kind = NodeKind::Component;
        s.component = int(g_components.size()) - 1;
        return s;
    }

    std::vector<Spec> list(int depth, bool keyed, bool comps = false) {
        std::vector<Spec> out;
        int n = pick(6);
        std::vector<int> keys(10);
        for (int i = 0; i < 10; ++i) keys[i] = i;
        std::shuffle(keys.begin(), keys.end(), rng);
        for (int i = 0; i < n; ++i) {
            Spec c = comps && depth > 0 && chance(35) ? comp(depth) : node(depth, comps);
            if (keyed && c.kind != NodeKind::Empty) c.key = "k" + std::to_string(keys[i]);
            out.push_back(std::move(c));
        }
        return out;
    }

    // A changed copy. `structural`: tags and kinds may change too; otherwise
    // only attributes, texts and keyed lists change (parents stay matched).
    void mutate(Spec& s, int depth, bool structural) {
        if (s.kind == NodeKind::Text) {
            if (chance(30)) s.text = word();
            return;
        }
        if (s.kind == NodeKind::Element) {
            if (chance(30)) {
                auto uid = s.attrs["data-uid"];
                decorate(s);
                s.attrs["data-uid"] = uid;
            }
            if (structural && chance(10)) s.tag = s.tag == "div" ? "span" : "div";
            if (structural && chance(10)) {
                if (s.html) {
                    s.html.reset();
                } else {
                    s.html = "<i>" + word() + "</i>";
                    s.children.clear();
                }
            }
            if (s.html) {
                if (chance(30)) s.html = "<u>" + word() + "</u>";
                return;
            }
        }
        bool keyed = !s.children.empty() && std::all_of(s.children.begin(), s.children.end(),
                                                         [](const Spec& c) { return !c.key.empty(); });
        for (auto& c : s.children) mutate(c, depth - 1, structural);
        if (keyed) {
            std::shuffle(s.children.begin(), s.children.end(), rng);
            if (!s.children.empty() && chance(30)) s.children.erase(s.children.begin() + pick(int(s.children.size())));
            if (chance(30)) {
                std::vector<std::string> used;
                for (auto& c : s.children) used.push_back(c.key);
                for (int k = 0; k < 20; ++k) {
                    std::string key = "k" + std::to_string(10 + k);
                    if (std::find(used.begin(), used.end(), key) == used.end()) {
                        Spec c = node(depth - 1);
                        if (c.kind == NodeKind::Empty) c.kind = NodeKind::Text;
                        c.key = key;
                        s.children.insert(s.children.begin() + pick(int(s.children.size()) + 1), std::move(c));
                        break;
                    }
                }
            }
        } else if (structural) {
            if (!s.children.empty() && chance(20)) s.children.erase(s.children.begin() + pick(int(s.children.size())));
            if (chance(20)) s.children.insert(s.children.begin() + pick(int(s.children.size()) + 1), node(depth - 1));
            if (chance(10)) s.children = list(depth - 1, false);
        }
    }
};

Spec g_spec;
Element tree_component() { return build(g_spec); }

struct Mounted {
    ManualLoop loop;
    dom::Document doc;
    std::string error;
    std::vector<std::string> wire;
    Root root{loop, [this](EditBatch b) {
                  wire.push_back(serialize(b));
                  // Through the wire form, as the page gets it.
                  auto r = doc.apply_json(wire.back());
                  if (!r && error.empty()) error = r.error();
              }};
};

std::map<std::string, ElementId> uids(const dom::Node& n, std::map<std::string, ElementId> acc = {}) {
    auto it = n.attrs.find("data-uid");
    if (it != n.attrs.end()) acc[it->second] = n.id;
    for (auto* c : n.children) acc = uids(*c, std::move(acc));
    return acc;
}

void check_pair(unsigned seed, bool structural) {
    Gen gen(seed);
    Spec a;
    a.tag = "main";
    a.children = gen.list(4, gen.chance(50));
    Spec b = a;
    gen.mutate(b, 4, structural);

    // A, then B by diff.
    Mounted m;
    Signal<int> tick(0);
    static Signal<int>* tick_ptr;
    tick_ptr = &tick;
    g_spec = a;
    m.root.mount(component(+[]() -> Element {
        (*tick_ptr)();
        return build(g_spec);
    }));
    ASSERT_EQ(m.error, "") << "seed " << seed;
    auto before = uids(m.doc.root());
    g_spec = b;
    tick.set(1);
    m.loop.run_until_idle();
    ASSERT_EQ(m.error, "") << "seed " << seed;

    // B from scratch.
    Mounted fresh;
    fresh.root.mount(component(tree_component));
    ASSERT_EQ(m.doc.html(), fresh.doc.html()) << "seed " << seed;

    if (!structural) {
        auto after = uids(m.doc.root());
        for (auto& [uid, id] : after) {
            auto it = before.find(uid);
            if (it != before.end()) {
                EXPECT_EQ(it->second, id) << "seed " << seed << " uid " << uid;
            }
        }
    }
}

TEST(Diff, RandomPairsApplyToTheSecondTree) {
    for (unsigned seed = 1; seed <= 400; ++seed) check_pair(seed, true);
}

TEST(Diff, KeyedMovesKeepElementIdentity) {
    for (unsigned seed = 1000; seed <= 1300; ++seed) check_pair(seed, false);
}

// Components re-rendering by themselves (their parents do not) put their
// changed output in the right place, whatever surrounds them.
Spec g_nested_root;
Element nested_root() { return build(g_nested_root); }

TEST(Diff, NestedComponentsRerenderInPlace) {
    for (unsigned seed = 1; seed <= 150; ++seed) {
        g_components.clear();
        Gen gen(seed);
        g_nested_root = Spec();
        g_nested_root.tag = "main";
        g_nested_root.children = gen.list(4, gen.chance(50), true);
        Mounted m;
        m.root.mount(component(nested_root));
        ASSERT_EQ(m.error, "") << "seed " << seed;
        for (int step = 0; step < 6 && !g_components.empty(); ++step) {
            int flips = 1 + gen.pick(3);
            for (int k = 0; k < flips; ++k)
                g_components[gen.pick(int(g_components.size()))]->choice.set(gen.pick(3));
            m.loop.run_until_idle();
            ASSERT_EQ(m.error, "") << "seed " << seed << " step " << step;
            Mounted fresh;
            fresh.root.mount(component(nested_root));
            ASSERT_EQ(m.doc.html(), fresh.doc.html()) << "seed " << seed << " step " << step;
        }
        m.root.unmount();
    }
    g_components.clear();
}

// ---- golden wire form ---------------------------------------------------------

Signal<int>* g_golden_step;
Element golden() {
    int step = (*g_golden_step)();
    if (step == 0)
        return div().cls("a b").style("left", "3px").attr("disabled", true)(
            span().on_click_blocking([](MouseEvent& e) { e.prevent_default(); })("x<y> & \"z\"\n"),
            input().value("v").on_input([](const InputEvent&) {}), svg()(path().attr("d", "M0 0")));
    return div().cls("a").attr("disabled", false)(span()("x"), input().value("v"), p().inner_html("<b>hi</b>"));
}

TEST(Wire, GoldenBatches) {
    Mounted m;
    Signal<int> step(0);
    g_golden_step = &step;
    m.root.mount(component(golden));
    ASSERT_EQ(m.wire.size(), 1u);
    EXPECT_EQ(m.wire[0],
              R"([["c",1,"div",""],["a",1,"class","a b"],["a",1,"disabled",""],["s",1,"left","3px"],)"
              R"(["c",2,"span",""],["l",2,"click",1],["t",3,"x<y> & \"z\"\n"],["i",2,3,null],)"
              R"(["c",4,"input",""],["p",4,"value","v"],["l",4,"input",0],)"
              R"(["c",5,"svg","svg"],["c",6,"path","svg"],["a",6,"d","M0 0"],["i",5,6,null],)"
              R"(["i",1,2,null],["i",1,4,null],["i",1,5,null],["i",0,1,null]])");
    step.set(1);
    m.loop.run_until_idle();
    ASSERT_EQ(m.wire.size(), 2u);
    EXPECT_EQ(m.wire[1],
              R"([["a",1,"class","a"],["r",1,"disabled"],["s",1,"left",""],["d",5],["u",2,"click"],["x",3,"x"],)"
              R"(["p",4,"value","v"],["u",4,"input"],["c",7,"p",""],["h",7,"<b>hi</b>"],["i",1,7,null]])");
    EXPECT_EQ(m.doc.html(), R"(<div class="a"><span>x</span><input prop:value="v"></input><p><b>hi</b></p></div>)");
}

TEST(Wire, ParseRejectsMalformedEdits) {
    for (const char* bad : {"{}", "[[\"c\",1]]", "[[\"q\",1]]", "[[\"i\",0,1]]", "[[\"a\",-1,\"x\",\"y\"]]", "[1]"}) {
        EXPECT_FALSE(parse_edits(bad)) << bad;
    }
    auto ok = parse_edits(R"([["p",3,"checked",true],["p",3,"n",1.5],["i",0,3,7]])");
    ASSERT_TRUE(ok);
    EXPECT_EQ((*ok)[0].prop, PropValue(true));
    EXPECT_EQ((*ok)[1].prop, PropValue(1.5));
    EXPECT_EQ((*ok)[2].before, std::optional<ElementId>(7));
}

TEST(Dom, RejectsEditsOnUnknownNodes) {
    dom::Document d;
    EXPECT_FALSE(d.apply_json(R"([["a",9,"x","y"]])"));
    EXPECT_FALSE(d.apply_json(R"([["d",0]])"));
    EXPECT_TRUE(d.apply_json(R"([["c",1,"div",""],["c",2,"div",""],["i",0,1,null],["i",1,2,null]])"));
    EXPECT_FALSE(d.apply_json(R"([["i",2,1,null]])"));  // into its own child
    EXPECT_TRUE(d.apply_json(R"([["d",1]])"));
    EXPECT_EQ(d.size(), 1u);  // the child went with it
}

}  // namespace

namespace {

Signal<int>* g_always_tick;
Element always_component() {
    (void)(*g_always_tick)();
    return input().attr_always("data-scroll", "0").default_value("typed?").attr("class", "same");
}

TEST(Wire, AlwaysAttributesAreWrittenOnEveryRenderAndDefaultsOnlyOnChange) {
    Mounted m;
    Signal<int> tick(0);
    g_always_tick = &tick;
    m.root.mount(component(always_component));
    tick.set(1);
    m.loop.run_until_idle();
    ASSERT_EQ(m.wire.size(), 2u);
    EXPECT_EQ(m.wire[1], R"([["a",1,"data-scroll","0"]])");
}

}  // namespace

namespace {

TEST(Markup, NumbersAreShortestWithoutExponentOrWholeNumberDecimals) {
    const std::pair<double, const char*> cases[] = {
        {5.0, "5"},     {0.5, "0.5"},     {12.25, "12.25"},   {-3.0, "-3"},       {0.1, "0.1"},
        {1e21, "1000000000000000000000"}, {1.5e-7, "0.00000015"}, {-0.0, "0"},    {100.0, "100"},
        {0.1 + 0.2, "0.30000000000000004"}, {std::nan(""), "0"}, {-INFINITY, "0"},
    };
    for (auto [v, want] : cases) EXPECT_EQ(markup_number(v), want) << v;
    Element e = input().attr("max", 5.0).attr("step", 0.5).attr("n", 7).style("--fill", 12.25).style("left", 3.5, "px")
                    .style("top", 2, "px");
    const VNode* n = e.node();
    EXPECT_EQ(n->attrs[0].value, "5");
    EXPECT_EQ(n->attrs[1].value, "0.5");
    EXPECT_EQ(n->attrs[2].value, "7");
    EXPECT_EQ(n->styles[0].value, "12.25");
    EXPECT_EQ(n->styles[1].value, "3.5px");
    EXPECT_EQ(n->styles[2].value, "2px");
}

Signal<int>* g_once_step;
Element once_component() {
    int step = (*g_once_step)();
    auto renders = use_ref(0);
    ++*renders;
    return input()
        .initial_value(fmt::format("start {}", step))
        .attr("data-renders", *renders)
        .on_click([](const MouseEvent&) {}, {.stop_propagation = true})
        .on_contextmenu([](const MouseEvent&) {}, {.prevent_default = true, .stop_propagation = true})
        .on_wheel_blocking([](WheelEvent& e) { e.prevent_default(); }, {.stop_propagation = true});
}

TEST(Wire, InitialValueOnceRefsAndListenerModes) {
    Mounted m;
    Signal<int> step(0);
    g_once_step = &step;
    m.root.mount(component(once_component));
    ASSERT_EQ(m.wire.size(), 1u);
    EXPECT_EQ(m.wire[0],
              R"([["c",1,"input",""],["a",1,"data-renders","1"],["p",1,"value","start 0"],)"
              R"(["l",1,"click",4],["l",1,"contextmenu",6],["l",1,"wheel",5],["i",0,1,null]])");
    step.set(1);
    m.loop.run_until_idle();
    ASSERT_EQ(m.wire.size(), 2u);
    EXPECT_EQ(m.wire[1], R"([["a",1,"data-renders","2"]])");  // the initial value is not written again
    // The page waits only for the blocking listener, whose decisions count.
    auto r = m.root.handle_event(1, "wheel", Json::object());
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->prevent_default);
    EXPECT_FALSE(r->stop_propagation);  // applied by the page, not decided here
}

}  // namespace
