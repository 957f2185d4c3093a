// The window's frame headless: the texts of the status line, the Find-delay
// panel and the SPL view, the plot's inputs, the panel menu and the list
// context menu; the sidebar's rows and handlers; the source cards.
#include <cmath>
#include <limits>

#include "reactive/dom.h"
#include "reactive/fake_page.h"
#include "shared-ui/icons.h"
#include "ui/main_window/frame/main_window.h"
#include "ui/main_window/frame/sidebar.h"
#include "ui/main_window/frame/source_cards.h"
#include "ui/main_window/frame/status_line.h"
#include "ui/main_window/frame/toolbar.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window::testing {
namespace {

using engine::analyzer::Snapshot;
using engine::meter::MeterSnapshot;
using engine::settings::View;
using reactive::dom::Node;
namespace icons = shared_ui::icons;

// ---- texts ------------------------------------------------------------------------

TEST(FrameText, FindDelayLines) {
    struct Case {
        std::optional<std::size_t> found;
        std::size_t delay;
        std::uint32_t rate;
        float conf;
        std::string status;
        RichLine first;
        std::string second;
    };
    const Case cases[] = {
        {96, 48, 48000, 12.3f, "", {"Found ", "2.00 ms", " (quality 12)"}, "Current 1.00 ms, change +1.00 ms"},
        {24, 48, 48000, 30.0f, "", {"Found ", "0.50 ms", " (quality 30)"}, "Current 1.00 ms, change -0.50 ms"},
        {std::nullopt, 48, 48000, 3.46f, "Searching", {"Searching, correlation too weak (3.5)", "", ""},
         "Current 1.00 ms"},
        {std::nullopt, 48, 48000, 0.0f, "Finding delay", {"Finding delay", "", ""}, "Current 1.00 ms"},
        {std::nullopt, 48, 0, 0.0f, "Opening input", {"Opening input", "", ""}, "Current 0.00 ms"},
    };
    for (const auto& c : cases) {
        Snapshot snap;
        snap.found = c.found;
        snap.delay = c.delay;
        snap.sample_rate = c.rate;
        snap.find_conf = c.conf;
        snap.status = c.status;
        const auto [first, second] = find_delay_lines(snap);
        EXPECT_EQ(first, c.first) << c.second;
        EXPECT_EQ(second, c.second);
    }
}

TEST(FrameText, StatusMessage) {
    Snapshot snap;
    snap.label = "Main L";
    snap.status = "Viewing Main L at Position 1, conf 0.91, 2 seats";
    EXPECT_EQ(status_message(snap, ""), (RichLine{"Viewing ", "Main L", " at Position 1, conf 0.91, 2 seats"}));
    snap.status = "Viewing Sub at Position 1";
    EXPECT_EQ(status_message(snap, ""), (RichLine{"Viewing Sub at Position 1", "", ""}));
    EXPECT_EQ(status_message(snap, "Wing bus 1: ok"), (RichLine{"Wing bus 1: ok", "", ""}));
}

TEST(FrameText, Readouts) {
    struct Case {
        std::uint32_t rate;
        bool running;
        float offset, latency;
        std::vector<std::string> want;
        std::uint64_t dropouts = 0;
    };
    const Case cases[] = {
        {0, false, 0, 0, {}},
        {48000, false, 0, 0, {"Delay 10.00 ms", "Distance 3.43 m"}},
        {48000, true, 0, 0, {"Delay 10.00 ms", "Distance 3.43 m", "Mic -21 dBFS", "Ref -18 dBFS"}},
        {48000, true, 94, 0, {"Delay 10.00 ms", "Distance 3.43 m", "SPL 73 dB", "Ref -18 dBFS"}},
        // Latency above the delay: no negative distance.
        {48000, false, 0, 12, {"Delay 10.00 ms", "Distance 0.00 m"}},
        {48000, false, 0, 4, {"Delay 10.00 ms", "Distance 2.06 m"}},
        // Dropouts show while running, and only when there were some.
        {48000, true, 0, 0, {"Delay 10.00 ms", "Distance 3.43 m", "Mic -21 dBFS", "Ref -18 dBFS", "Dropouts 3"}, 3},
        {48000, false, 0, 0, {"Delay 10.00 ms", "Distance 3.43 m"}, 3},
    };
    for (const auto& c : cases) {
        Snapshot snap;
        snap.sample_rate = c.rate;
        snap.delay = 480;
        snap.running = c.running;
        snap.mic_db = -20.6f;
        snap.ref_db = -18.2f;
        snap.dropouts = c.dropouts;
        Settings st;
        st.spl_offset_db = c.offset;
        st.latency_ms = c.latency;
        st.temperature_c = 20;
        EXPECT_EQ(transfer_readouts(snap, st), c.want) << c.rate << c.running << c.offset << c.latency;
    }
    MeterSnapshot m;
    m.rms_dbfs = -31.4f;
    EXPECT_TRUE(spl_readouts(m).empty());
    m.running = true;
    EXPECT_EQ(spl_readouts(m), std::vector<std::string>{"Mic -31 dBFS"});
}

TEST(FrameText, LongLeqLabel) {
    struct Case {
        std::uint32_t window, gathered;
        bool running;
        const char* want;
    };
    const Case cases[] = {
        {600, 45, true, "LAeq 10 min \u00b7 45 s so far"},
        {600, 0, true, "LAeq 10 min \u00b7 1 s so far"},
        {600, 150, true, "LAeq 10 min \u00b7 2 min so far"},
        {600, 45, false, "LAeq 10 min"},
        {600, 600, true, "LAeq 10 min"},
        {90, 10, false, "LAeq 1 min"},
        {30, 5, false, "LAeq 30 s"},
    };
    for (const auto& c : cases) EXPECT_EQ(leq_long_label(c.window, c.running, c.gathered), c.want);
}

TEST(FrameText, SplViewWithoutOffsetAndWithOne) {
    Settings st;
    st.spl_leq_short_secs = 60;
    st.spl_leq_long_secs = 900;
    st.spl_range_top_db = -20;
    st.spl_range_bottom_db = -100;
    MeterSnapshot m;
    m.frames = 12;  // the meter has analysed
    m.z_db = -30;
    m.max_leq_long_db = -25;
    auto p = spl_view_props(st, m);
    EXPECT_EQ(p.unit, "dBFS");
    EXPECT_EQ(p.leq_short_label, "LAeq 1 min");
    EXPECT_EQ(p.leq_long_label, "LAeq 15 min");
    EXPECT_EQ(p.levels[0], -30.0f);
    EXPECT_EQ(p.levels[9], -25.0f);
    EXPECT_EQ(p.range_top_db, -20.0f);
    st.spl_offset_db = 94;
    p = spl_view_props(st, m);
    EXPECT_EQ(p.unit, "dB SPL");
    EXPECT_EQ(p.levels[0], 64.0f);
    EXPECT_EQ(p.range_top_db, 74.0f);
    EXPECT_EQ(p.range_bottom_db, -6.0f);
}

// Before the meter's first analysis (its input not open yet, or gone) the
// level cards show no number at all, with or without an offset.
TEST(FrameText, SplLevelsBeforeTheFirstAnalysisAreNotNumbers) {
    Settings st;
    MeterSnapshot m;  // frames 0, every level at its start value
    for (float offset : {0.0f, 94.0f}) {
        st.spl_offset_db = offset;
        const auto p = spl_view_props(st, m);
        for (float v : p.levels) EXPECT_TRUE(std::isnan(v)) << offset;
    }
}

TEST(FrameText, ShadeBelow) {
    struct Case {
        std::uint32_t snap_rate, settings_rate;
        std::size_t fft;
        float cycles, want;
    };
    const Case cases[] = {
        {0, 48000, 0, 4, 48000.0f * 4 / 16384},   // default size at 48 kHz: 32768
        {0, 44100, 0, 4, 44100.0f * 4 / 16384},   // 32768
        {0, 96000, 0, 4, 96000.0f * 4 / 32768},   // 65536
        {0, 192000, 0, 4, 192000.0f * 4 / 65536}, // 131072
        {48000, 96000, 0, 4, 48000.0f * 4 / 16384},
        {48000, 48000, 8192, 4, 48000.0f * 4 / 4096},
        {48000, 48000, 32768, 50, 48000.0f * 34 / 16384},  // cycles capped at 34
        {48000, 48000, 32768, 0, 0.0f},
    };
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(shade_below_hz(c.snap_rate, c.settings_rate, c.fft, c.cycles), c.want) << c.settings_rate;
}

TEST(FrameText, StoredCurves) {
    std::vector<Trace> traces{make_trace("a", "Main", "A"), make_trace("b", "Sub", "A"), make_trace("c", "Main", "B"),
                              make_trace("d", "Other", "A"), make_trace("e", "Sub", "A")};
    traces[4].visible = false;
    const std::vector<std::string> sources{"Main", "Sub"};
    using V = std::vector<std::pair<std::size_t, std::size_t>>;
    // Visible traces at A with their source's colour; unknown source: 0; hidden: left out.
    EXPECT_EQ(plot_stored(traces, sources, "A", std::nullopt, true, std::nullopt), (V{{0, 0}, {1, 1}, {3, 0}}));
    // The viewed trace is the main curve, not a stored one ...
    EXPECT_EQ(plot_stored(traces, sources, "A", 1, true, std::nullopt), (V{{0, 0}, {3, 0}}));
    // ... unless Predicted is on or a run goes on.
    EXPECT_EQ(plot_stored(traces, sources, "A", 1, false, std::nullopt), (V{{0, 0}, {1, 1}, {3, 0}}));
    // Seats: their traces and colours, whatever the position.
    Seats seats;
    seats.seats = {{.trace = 0, .position = "A", .colour = 0}, {.trace = 2, .position = "B", .colour = 1}};
    EXPECT_EQ(plot_stored(traces, sources, "A", 0, true, seats), (V{{0, 0}, {2, 1}}));
}

TEST(FrameText, PanelMenuLabelsAndDeleteFromMenu) {
    EXPECT_EQ(panel_menu_label(true, "Magnitude"), "\u2713 Magnitude");
    EXPECT_EQ(panel_menu_label(false, "Phase"), "    Phase");
    struct Case {
        std::optional<Prompt> target, want;
    };
    const Case cases[] = {
        {Prompt{Prompt::RenamePosition{"A"}}, Prompt{Prompt::DeletePosition{"A"}}},
        {Prompt{Prompt::RenameSource{"Sub"}}, Prompt{Prompt::DeleteSource{"Sub"}}},
        {Prompt{Prompt::RenameTrace{3}}, Prompt{Prompt::DeleteTrace{3}}},
        {Prompt{Prompt::NewSource{}}, Prompt{Prompt::NewSource{}}},
        {Prompt{Prompt::DeleteTrace{1}}, Prompt{Prompt::DeleteTrace{1}}},
        {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(delete_prompt_of(c.target), c.want);
}

// ---- the frame in the in-memory page ---------------------------------------------

bool has_class(const Node& n, std::string_view word) {
    auto it = n.attrs.find("class");
    if (it == n.attrs.end()) return false;
    std::string_view c = it->second;
    for (std::size_t a = 0; a <= c.size();) {
        std::size_t b = c.find(' ', a);
        if (b == std::string_view::npos) b = c.size();
        if (c.substr(a, b - a) == word) return true;
        a = b + 1;
    }
    return false;
}

std::string text_of(const Node& n) {
    if (n.is_text) return n.text;
    std::string out;
    for (const auto* c : n.children) out += text_of(*c);
    return out;
}

void collect(const Node& n, const std::function<bool(const Node&)>& pred, std::vector<const Node*>& out) {
    if (!n.is_text && pred(n)) out.push_back(&n);
    for (const auto* c : n.children) collect(*c, pred, out);
}

std::vector<const Node*> all(const Node& n, const std::function<bool(const Node&)>& pred) {
    std::vector<const Node*> out;
    collect(n, pred, out);
    return out;
}
std::vector<const Node*> by_class(const Node& n, std::string_view cls) {
    return all(n, [&](const Node& x) { return has_class(x, cls); });
}
// The class attribute of an element.
std::string cls(const Node* n) { return n ? n->attrs.at("class") : "<none>"; }
// The icon of a button (its image URL).
std::string icon(const Node& button) {
    for (const auto* c : button.children)
        if (c->tag == "img") {
            return c->attrs.at("src");
        }
    return "";
}
const Node* child_button(const Node& row, std::size_t n) {
    auto b = all(row, [](const Node& x) { return x.tag == "button"; });
    return n < b.size() ? b[n] : nullptr;
}

class Frame : public Window {
protected:
    void SetUp() override {
        Window::SetUp();
        root.~Root();
        new (&root) reactive::Root(loop, [this](reactive::EditBatch b) { ASSERT_TRUE(doc.apply(b)); });
        root.set_page(&page);
        root.provide_context(s());
        root.provide_context(s().settings);
        root.provide_context(s().tooltip);
        root.provide_context(s().open_dropdown);
    }
    void TearDown() override { root.unmount(); }
    void mount(reactive::Element (*fn)()) {
        root.mount(reactive::component(fn, "under_test"));
        settle();
    }
    void event(const Node* n, std::string_view type, reactive::Json data = reactive::Json::object()) {
        ASSERT_TRUE(n);
        root.handle_event(n->id, type, data);
        settle();
    }
    // A click as the page delivers it: to the element, then up through its
    // ancestors until a listener stops it.
    void click(const Node* n) {
        ASSERT_TRUE(n);
        std::vector<std::pair<reactive::ElementId, int>> path;
        for (const Node* x = n; x; x = x->parent)
            if (auto it = x->listeners.find("click"); it != x->listeners.end()) path.emplace_back(x->id, it->second);
        for (const auto& [id, mode] : path) {
            root.handle_event(id, "click", reactive::Json::object());
            if (mode & reactive::LISTEN_STOP) break;
        }
        settle();
    }
    const Node& top() { return doc.root(); }
    // Rows of the sidebar list (folders and trace rows), in order.
    std::vector<const Node*> rows() {
        auto lists = by_class(top(), "vt-list");
        if (lists.empty()) return {};
        std::vector<const Node*> out;
        for (const auto* c : lists[0]->children) out.push_back(c);
        return out;
    }
    std::vector<std::string> row_summary() {
        std::vector<std::string> out;
        for (const auto* r : rows()) out.push_back(cls(r) + " | " + text_of(*r));
        return out;
    }
    void project() {
        s().sources.set({"Main", "Sub", "Front"});
        std::vector<Trace> traces{make_trace("Main A", "Main", "A"), make_trace("Sub A", "Sub", "A"),
                                  make_trace("Main B", "Main", "B")};
        for (auto& t : traces) t.used = false;
        s().traces.set(traces);
        s().position.set("C");
    }

    reactive::FakePage page;
    reactive::dom::Document doc;
};

TEST_F(Frame, PositionsListWithFoldAndTraceRows) {
    mount(sidebar);
    // An empty project: the current position alone, selected.
    EXPECT_EQ(row_summary(), std::vector<std::string>{"folder selected | Position 10"});
    project();
    settle();
    EXPECT_EQ(row_summary(), (std::vector<std::string>{
                                 "folder | A2",
                                 "trace c0 | Main AMain",
                                 "trace c1 | Sub ASub",
                                 "folder | B1",
                                 "trace c0 | Main BMain",
                                 "folder selected | C0",
                             }));
    // Buttons of a trace row: shown, tick, delete; of a folder: fold, delete.
    const Node* row = rows()[1];
    EXPECT_EQ(icon(*child_button(*row, 0)), icons::PREVIEW.url());
    EXPECT_TRUE(has_class(*child_button(*row, 0), "toggled"));
    EXPECT_EQ(icon(*child_button(*row, 1)), icons::CONFIRM.url());
    EXPECT_FALSE(has_class(*child_button(*row, 1), "toggled"));
    EXPECT_EQ(icon(*child_button(*row, 2)), icons::DELETE.url());
    EXPECT_EQ(icon(*child_button(*rows()[0], 0)), icons::CHEVRON_DOWN.url());
    EXPECT_EQ(rows()[1]->listeners.count("contextmenu"), 1u);

    // Fold A: its rows go, its chevron turns; the position stays "C".
    click(child_button(*rows()[0], 0));
    EXPECT_EQ(s().folded_positions.peek(), std::vector<std::string>{"A"});
    EXPECT_EQ(row_summary().size(), 4u);
    EXPECT_EQ(icon(*child_button(*rows()[0], 0)), icons::CHEVRON_RIGHT.url());
    EXPECT_EQ(s().position.peek(), "C");
    click(child_button(*rows()[0], 0));
    EXPECT_TRUE(s().folded_positions.peek().empty());
    EXPECT_EQ(row_summary().size(), 6u);

    // View a trace: Predicted off, row selected; again: no view, Predicted stays off.
    s().show_predicted.set(true);
    click(rows()[2]);
    EXPECT_EQ(s().viewed_trace.peek(), 1u);
    EXPECT_FALSE(s().show_predicted.peek());
    EXPECT_EQ(cls(rows()[2]), "trace selected c1");
    click(rows()[2]);
    EXPECT_EQ(s().viewed_trace.peek(), std::nullopt);
    EXPECT_FALSE(s().show_predicted.peek());

    // Show/hide and tick change the trace, never the view.
    click(child_button(*rows()[1], 0));
    click(child_button(*rows()[1], 1));
    EXPECT_FALSE(s().traces.peek()[0].visible);
    EXPECT_TRUE(s().traces.peek()[0].used);
    EXPECT_EQ(s().viewed_trace.peek(), std::nullopt);
    EXPECT_EQ(icon(*child_button(*rows()[1], 0)), icons::TEXT_CUE_VISIBILITY_OFF.url());
    EXPECT_TRUE(has_class(*child_button(*rows()[1], 1), "toggled"));
    EXPECT_TRUE(s().unsaved.peek());

    // Delete buttons only open prompts.
    click(child_button(*rows()[4], 2));
    EXPECT_EQ(s().prompt.peek(), Prompt{Prompt::DeleteTrace{2}});
    click(child_button(*rows()[3], 1));
    EXPECT_EQ(s().prompt.peek(), Prompt{Prompt::DeletePosition{"B"}});
    EXPECT_EQ(s().traces.peek().size(), 3u);

    // Right click: the menu's target and place.
    event(rows()[4], "contextmenu", {{"client_x", 40.0}, {"client_y", 200.0}});
    EXPECT_EQ(s().menu_target.peek(), Prompt{Prompt::RenameTrace{2}});
    EXPECT_EQ(s().menu_position.peek(), (std::pair<double, double>{40.0, 200.0}));
    event(rows()[3], "contextmenu", {{"client_x", 1.0}, {"client_y", 2.0}});
    EXPECT_EQ(s().menu_target.peek(), Prompt{Prompt::RenamePosition{"B"}});

    // A folder's click makes it the current position.
    click(rows()[3]);
    EXPECT_EQ(s().position.peek(), "B");
    EXPECT_EQ(cls(rows()[3]), "folder selected");
}

TEST_F(Frame, TabBarAndSourcesList) {
    mount(sidebar);
    project();
    s().sources.set({"Main", "Sub", "Front", "Delay", "Fill", "Out"});
    settle();
    auto tabs = by_class(top(), "tab-btn");
    ASSERT_EQ(tabs.size(), 2u);
    EXPECT_EQ(cls(tabs[0]), "tab-btn active");
    EXPECT_EQ(text_of(*tabs[0]), "Positions");
    auto add = all(*by_class(top(), "tab-bar")[0], [](const Node& n) { return n.tag == "button" && has_class(n, "flat"); });
    ASSERT_EQ(add.size(), 1u);
    click(add[0]);
    EXPECT_EQ(s().prompt.peek(), Prompt{Prompt::NewPosition{}});

    click(tabs[1]);
    EXPECT_EQ(s().left_tab.peek(), 1u);
    EXPECT_EQ(row_summary(), (std::vector<std::string>{"trace selected c0 | Main2", "trace c1 | Sub1",
                                                       "trace c2 | Front0", "trace c3 | Delay0", "trace c0 | Fill0",
                                                       "trace c1 | Out0"}));
    add = all(*by_class(top(), "tab-bar")[0], [](const Node& n) { return n.tag == "button" && has_class(n, "flat"); });
    click(add[0]);
    EXPECT_EQ(s().prompt.peek(), Prompt{Prompt::NewSource{}});
    click(child_button(*rows()[1], 0));
    EXPECT_EQ(s().prompt.peek(), Prompt{Prompt::DeleteSource{"Sub"}});
    event(rows()[2], "contextmenu", {{"client_x", 5.0}, {"client_y", 6.0}});
    EXPECT_EQ(s().menu_target.peek(), Prompt{Prompt::RenameSource{"Front"}});

    // A row opens the EQ tab: one "Sources" tab and the source cards.
    click(rows()[1]);
    EXPECT_EQ(s().current_source_name.peek(), "Sub");
    EXPECT_EQ(s().right_tab.peek(), 2u);
    tabs = by_class(top(), "tab-btn");
    ASSERT_EQ(tabs.size(), 1u);
    EXPECT_EQ(text_of(*tabs[0]), "Sources");
    EXPECT_EQ(by_class(top(), "folder").size(), 6u);
    s().right_tab.set(0);
    settle();
    EXPECT_EQ(by_class(top(), "tab-btn").size(), 2u);
}

TEST_F(Frame, SourceCardsWithSeats) {
    mount(sidebar);
    s().sources.set({"Main", "Sub", "Front", "Delay", "Fill"});
    auto a = make_trace("Main A", "Main", "A"), b = make_trace("Sub B", "Sub", "B"), c = make_trace("Main C", "Main", "C");
    auto a2 = make_trace("Main A 2", "Main", "A");
    c.used = a2.used = false;
    s().traces.set({a, b, c, a2});
    s().position.set("A");
    s().current_source_name.set("Main");
    s().right_tab.set(2);
    settle();
    // Cards c0..c3, c0; the current card selected with its seat rows A and C
    // (colours of the positions A, B, C: 0 and 2) and the Average row.
    EXPECT_EQ(row_summary(), (std::vector<std::string>{
                                 "folder selected c0 | Main3",
                                 "trace c0 | A+0.0 dB",
                                 "trace c2 | C+0.0 dB",
                                 "trace avg selected | Average",
                                 "folder c1 | Sub1",
                                 "folder c2 | Front0",
                                 "folder c3 | Delay0",
                                 "folder c0 | Fill0",
                             }));
    // The current source's switch: on and disabled; another's toggles Predicted sources.
    const Node* sw = child_button(*rows()[0], 0);
    EXPECT_TRUE(has_class(*sw, "toggled"));
    EXPECT_TRUE(sw->attrs.count("disabled"));
    const Node* sub_sw = child_button(*rows()[4], 0);
    EXPECT_EQ(icon(*sub_sw), icons::TEXT_CUE_VISIBILITY_OFF.url());
    click(sub_sw);
    EXPECT_EQ(s().summed_sources.peek(), std::vector<std::string>{"Sub"});
    EXPECT_EQ(icon(*child_button(*rows()[4], 0)), icons::PREVIEW.url());
    click(child_button(*rows()[5], 0));
    click(child_button(*rows()[4], 0));
    EXPECT_EQ(s().summed_sources.peek(), std::vector<std::string>{"Front"});

    // Seat rows: a tick does not pick; a click picks and turns Predicted on.
    click(child_button(*rows()[2], 1));
    EXPECT_TRUE(s().traces.peek()[2].used);
    EXPECT_EQ(s().picked_seat.peek(), std::nullopt);
    click(child_button(*rows()[1], 0));
    EXPECT_FALSE(s().traces.peek()[0].visible);
    EXPECT_EQ(icon(*child_button(*rows()[1], 0)), icons::TEXT_CUE_VISIBILITY_OFF.url());
    click(rows()[2]);
    EXPECT_EQ(s().picked_seat.peek(), "C");
    EXPECT_TRUE(s().show_predicted.peek());
    EXPECT_EQ(cls(rows()[2]), "trace selected c2");
    EXPECT_EQ(cls(rows()[3]), "trace avg");
    // The Average row: its eye switches the average, its click picks it.
    click(child_button(*rows()[3], 0));
    EXPECT_FALSE(s().show_average.peek());
    EXPECT_EQ(s().picked_seat.peek(), "C");
    click(rows()[3]);
    EXPECT_EQ(s().picked_seat.peek(), std::nullopt);
    EXPECT_EQ(cls(rows()[3]), "trace avg selected");
    // A picked position that is no seat: the Average row is the selected one.
    s().picked_seat.set("B");
    settle();
    EXPECT_EQ(cls(rows()[3]), "trace avg selected");

    // Card click chooses the source; right click opens its rename prompt; delete asks.
    click(rows()[6]);
    EXPECT_EQ(s().current_source_name.peek(), "Delay");
    EXPECT_EQ(s().right_tab.peek(), 2u);
    EXPECT_EQ(row_summary().size(), 5u);  // no seats for Delay
    event(rows()[1], "contextmenu", {{"client_x", 5.0}, {"client_y", 6.0}});
    EXPECT_EQ(s().prompt.peek(), Prompt{Prompt::RenameSource{"Sub"}});
    click(child_button(*rows()[1], 1));
    EXPECT_EQ(s().prompt.peek(), Prompt{Prompt::DeleteSource{"Sub"}});
    // Off the EQ tab nothing of this shows.
    s().right_tab.set(1);
    settle();
    EXPECT_TRUE(by_class(top(), "avg").empty());
}

TEST_F(Frame, SplViewHasNoSidebar) {
    project();
    mount(frame);
    const auto left_sidebar = [&] {
        return all(top(), [](const Node& n) { return has_class(n, "vt-sidebar") && !has_class(n, "right"); });
    };
    EXPECT_EQ(left_sidebar().size(), 1u);
    EXPECT_EQ(by_class(top(), "vt-transport")[0]->children.size(), 4u);
    s().settings.set(&Settings::view, View::Spl);
    settle();
    EXPECT_TRUE(left_sidebar().empty());
    const Node* side = by_class(top(), "side")[0];
    EXPECT_EQ(icon(*child_button(*side, 0)), icons::CHEVRON_RIGHT.url());
    EXPECT_TRUE(child_button(*side, 0)->attrs.count("disabled"));
    EXPECT_TRUE(has_class(*child_button(*side, 2), "toggled"));
    // One transport button: Restart LAeq, disabled while the meter is off.
    const Node* transport = by_class(top(), "vt-transport")[0];
    ASSERT_EQ(transport->children.size(), 1u);
    EXPECT_TRUE(child_button(*transport, 0)->attrs.count("disabled"));
    // The meter's status and readout.
    MeterSnapshot m;
    m.status = "Meter running";
    m.running = true;
    m.rms_dbfs = -31.4f;
    m.leq_secs = 45;
    s().settings.set(&Settings::spl_leq_long_secs, 600u);
    s().meter_snapshot.set(m);
    settle();
    EXPECT_EQ(text_of(*by_class(top(), "vt-status")[0]), "Meter runningMic -31 dBFS");
    EXPECT_FALSE(child_button(*by_class(top(), "vt-transport")[0], 0)->attrs.count("disabled"));
    EXPECT_NE(doc.html().find("LAeq 10 min \u00b7 45 s so far"), std::string::npos);
    // The Predicted button is disabled and not pressed whatever the switch says.
    s().show_predicted.set(true);
    settle();
    const Node* right = by_class(top(), "right")[0];
    EXPECT_TRUE(child_button(*right, 0)->attrs.count("disabled"));
    EXPECT_FALSE(has_class(*child_button(*right, 0), "toggled"));
}

TEST_F(Frame, TransferStatusLineAndFindDelayPanel) {
    mount(frame);
    Snapshot snap;
    snap.status = "Viewing Main L at A, conf 0.91, 1 seat";
    snap.label = "Main L";
    snap.sample_rate = 48000;
    snap.delay = 48;
    snap.running = true;
    snap.mic_db = -20.4f;
    snap.ref_db = -12.0f;
    snap.warn = true;
    s().snapshot.set(snap);
    settle();
    const Node* status = by_class(top(), "vt-status")[0];
    EXPECT_EQ(cls(status), "vt-status warn");
    const Node* msg = by_class(*status, "msg")[0];
    EXPECT_EQ(doc.html_of(*msg), "<div class=\"msg\" title=\"Viewing Main L at A, conf 0.91, 1 seat\n\">"
                                 "<span>Viewing <b>Main L</b> at A, conf 0.91, 1 seat</span></div>");
    EXPECT_EQ(text_of(*by_class(*status, "readout")[0]), "Delay 1.00 msDistance 0.34 mMic -20 dBFSRef -12 dBFS");
    s().notice.set("Wing bus 1: ok");
    settle();
    EXPECT_EQ(doc.html_of(*by_class(top(), "msg")[0]),
              "<div class=\"msg\" title=\"Viewing Main L at A, conf 0.91, 1 seat\nWing bus 1: ok\">"
              "<span class=\"tool\">Wing bus 1: ok</span></div>");

    // The transport while running: Run pressed with the Stop icon and hint.
    const Node* transport = by_class(top(), "vt-transport")[0];
    EXPECT_EQ(icon(*child_button(*transport, 3)), icons::STOP.url());
    EXPECT_TRUE(has_class(*child_button(*transport, 3), "toggled"));
    EXPECT_TRUE(child_button(*transport, 1)->attrs.count("disabled"));  // Clear: not accumulating
    EXPECT_FALSE(child_button(*transport, 2)->attrs.count("disabled"));

    // The Find-delay panel.
    snap.found = 96;
    snap.find_conf = 12.3f;
    s().snapshot.set(snap);
    s().delay_panel.set(true);
    settle();
    auto results = by_class(top(), "result");
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(doc.html_of(*results[0]), "<div class=\"result\"><span>Found <b>2.00 ms</b> (quality 12)</span></div>");
    EXPECT_EQ(text_of(*results[1]), "Current 1.00 ms, change +1.00 ms");
    // A press inside the card keeps it; on the backdrop closes it.
    event(by_class(top(), "alert-card")[0], "mousedown");
    EXPECT_TRUE(s().delay_panel.peek());
    event(by_class(top(), "alert-background")[0], "mousedown");
    EXPECT_FALSE(s().delay_panel.peek());
    EXPECT_TRUE(by_class(top(), "result").empty());
}

TEST_F(Frame, PanelMenuAndListMenu) {
    mount(frame);
    for (auto f : {&Settings::show_ir, &Settings::show_coh, &Settings::show_phase, &Settings::show_rta})
        s().settings.set(f, false);
    s().settings.set(&Settings::show_mag, true);
    s().panel_menu_position.set(std::pair{300.0, 200.0});
    settle();
    auto items = all(top(), [](const Node& n) { return has_class(n, "context-menu-popup"); });
    ASSERT_EQ(items.size(), 1u);
    std::vector<std::string> labels;
    for (const auto* c : items[0]->children) labels.push_back(text_of(*c));
    EXPECT_EQ(labels, (std::vector<std::string>{"    Impulse response", "    Coherence", "\u2713 Magnitude",
                                                "    Phase", "    Spectrum"}));
    click(items[0]->children[3]);
    EXPECT_TRUE(s().settings.peek().show_phase);
    EXPECT_EQ(s().panel_menu_position.peek(), std::nullopt);
    EXPECT_TRUE(Settings::load_from(data_).show_phase);

    // The list menu: Delete on a trace's menu opens the trace's delete prompt.
    s().menu_target.set(Prompt{Prompt::RenameTrace{3}});
    s().menu_position.set(std::pair{10.0, 10.0});
    settle();
    items = all(top(), [](const Node& n) { return has_class(n, "context-menu-popup"); });
    ASSERT_EQ(items.size(), 1u);
    ASSERT_EQ(text_of(*items[0]), "RenameDelete");
    click(items[0]->children[1]);
    EXPECT_EQ(s().prompt.peek(), Prompt{Prompt::DeleteTrace{3}});
    EXPECT_EQ(s().menu_position.peek(), std::nullopt);
    s().menu_target.set(Prompt{Prompt::RenamePosition{"A"}});
    s().menu_position.set(std::pair{10.0, 10.0});
    settle();
    items = all(top(), [](const Node& n) { return has_class(n, "context-menu-popup"); });
    click(items[0]->children[0]);
    EXPECT_EQ(s().prompt.peek(), Prompt{Prompt::RenamePosition{"A"}});

    // A toolbar switch saves the settings.
    const Node* right = by_class(top(), "right")[0];
    click(child_button(*right, 1));
    EXPECT_FALSE(s().settings.peek().right_pane);
    EXPECT_FALSE(Settings::load_from(data_).right_pane);
}

}  // namespace
}  // namespace ui::main_window::testing
