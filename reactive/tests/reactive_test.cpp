// Signals, stores, memos, effects and component re-rendering.
#include <gtest/gtest.h>

#include "reactive/dom.h"
#include "reactive/root.h"

using namespace reactive;

namespace {

struct Fixture {
    ManualLoop loop;
    dom::Document doc;
    std::vector<std::string> batches;
    Root root{loop, [this](EditBatch b) {
                  batches.push_back(serialize(b));
                  auto r = doc.apply(b);
                  EXPECT_TRUE(r) << r.error();
              }};
    void settle() { loop.run_until_idle(); }
};

int g_leaf_renders[3];

struct LeafProps {
    int index;
    Signal<int> value;
    bool operator==(const LeafProps&) const = default;
};

Element leaf(const LeafProps& p) {
    ++g_leaf_renders[p.index];
    return span()(std::to_string(p.value()));
}

TEST(Components, SignalReadByOneLeafRerendersOnlyThatLeaf) {
    Fixture f;
    Signal<int> a(1), b(2), c(3);
    static Signal<int>* sigs[3];
    sigs[0] = &a, sigs[1] = &b, sigs[2] = &c;
    static int parent_renders = 0;
    parent_renders = 0;
    std::fill(std::begin(g_leaf_renders), std::end(g_leaf_renders), 0);
    f.root.mount(component(+[]() -> Element {
        ++parent_renders;
        return div()(component(leaf, LeafProps{0, *sigs[0]}), component(leaf, LeafProps{1, *sigs[1]}),
                     component(leaf, LeafProps{2, *sigs[2]}));
    }));
    EXPECT_EQ(f.doc.html(), "<div><span>1</span><span>2</span><span>3</span></div>");
    b.set(20);
    f.settle();
    EXPECT_EQ(f.doc.html(), "<div><span>1</span><span>20</span><span>3</span></div>");
    EXPECT_EQ(parent_renders, 1);
    EXPECT_EQ(g_leaf_renders[0], 1);
    EXPECT_EQ(g_leaf_renders[1], 2);
    EXPECT_EQ(g_leaf_renders[2], 1);
    // one text edit only
    EXPECT_EQ(f.batches.back(), R"([["x",5,"20"]])");
}

}  // namespace
