#include <gtest/gtest.h>

#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window {
namespace {

using State = testing::Window;

TEST_F(State, InitialValues) {
    Settings st;
    st.average_secs = 5.0f;
    st.mic_cal_path = "/cal/m.txt";
    const WindowState w = make_state(st, host_, hooks());
    EXPECT_TRUE(w.sources.peek().empty());
    EXPECT_TRUE(w.traces.peek().empty());
    EXPECT_TRUE(w.design.peek().sources.empty());
    EXPECT_EQ(w.position.peek(), "Position 1");
    EXPECT_FALSE(w.project_path.peek());
    EXPECT_FALSE(w.unsaved.peek());
    EXPECT_EQ(w.saved_setup.peek(), setup_of(st));
    EXPECT_EQ(w.saved_setup.peek().average_secs, 5.0f);
    EXPECT_EQ(w.saved_setup.peek().mic_cal_path, "/cal/m.txt");
    EXPECT_EQ(w.current_source_name.peek(), "");
    EXPECT_EQ(w.fit_what.peek(), (engine::eqfit::FitWhat{true, true, true}));
    EXPECT_EQ(w.max_boost.peek(), 6.0f);
    EXPECT_TRUE(w.show_average.peek());
    EXPECT_EQ(w.left_tab.peek(), 0u);
    EXPECT_EQ(w.right_tab.peek(), 0u);
    EXPECT_FALSE(w.prompt.peek() || w.dialog.peek() || w.dialog_reply.peek() || w.viewed_trace.peek() ||
                 w.picked_zone.peek() || w.level_lock.peek() || w.pending_capture.peek() || w.analyzer.peek() ||
                 w.meter.peek() || w.alignment.peek() || w.menu_position.peek());
    EXPECT_TRUE(w.notice.peek().empty());
    EXPECT_EQ(w.settings.peek(), st);
}

}  // namespace
}  // namespace ui::main_window
