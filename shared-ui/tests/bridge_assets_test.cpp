// The window-event bridge's install, re-install and removal, and the asset
// records of the stylesheets, font and icons.
#include <filesystem>

#include <gtest/gtest.h>

#include "kit_page.h"
#include "shared-ui/app_styles.h"
#include "shared-ui/events.h"
#include "shared-ui/icons.h"

namespace shared_ui {
namespace {

using namespace reactive;
using testing::KitPage;

bool hex(std::string_view s) { return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string_view::npos; }

// "<stem>-<12 hex digits><ext>"
bool hashed(std::string_view file, std::string_view stem, std::string_view ext) {
    return file.size() == stem.size() + 13 + ext.size() && file.starts_with(stem) && file[stem.size()] == '-' &&
           hex(file.substr(stem.size() + 1, 12)) && file.ends_with(ext);
}

TEST(Bridge, IdIsAUuidWithUnderscores) {
    auto a = events::new_bridge_id(), b = events::new_bridge_id();
    ASSERT_EQ(a.size(), 36u);
    for (std::size_t i : {8, 13, 18, 23}) EXPECT_EQ(a[i], '_') << a;
    EXPECT_TRUE(hex(a.substr(0, 8)) && hex(a.substr(9, 4)) && hex(a.substr(14, 4)) && hex(a.substr(19, 4)) &&
                hex(a.substr(24)))
        << a;
    EXPECT_EQ(a[14], '4');
    EXPECT_NE(std::string_view("89ab").find(a[19]), std::string_view::npos) << a;
    EXPECT_NE(a, b);
    auto s = events::install_script(a);
    EXPECT_NE(s.find("\"_" + a + "_\" + s"), std::string::npos);
    EXPECT_EQ(s.find("@ID@"), std::string::npos);
    EXPECT_NE(events::removal_script(a).find("\"_" + a + "_\" + s"), std::string::npos);
}

struct Seen {
    std::vector<std::string> events;
};

TEST(Bridge, InstallsForwardsReinstallsAfterANewPageAndRemoves) {
    KitPage pg;
    static Seen seen;
    seen = {};
    static Signal<bool> shown(true);
    shown = Signal<bool>(true);
    pg.mount(component(+[] {
        events::use_window_events([](const events::WindowEvent& e) { seen.events.push_back(e.dump()); });
        return when(shown(), [] { return div()("listening"); });
    }));
    auto installs = [&] { return pg.scripts_with("_seekRafUsers = (w._seekRafUsers || 0) + 1"); };
    ASSERT_EQ(installs().size(), 1u);
    std::string first_text = installs()[0]->text;
    installs()[0]->feed.push(Json{{"type", "keydown"}, {"code", "KeyS"}, {"ctrl", true}});
    installs()[0]->feed.push(Json{{"type", "keyup"}, {"code", "KeyS"}});
    pg.settle();
    EXPECT_EQ(seen.events, (std::vector<std::string>{R"({"code":"KeyS","ctrl":true,"type":"keydown"})",
                                                      R"({"code":"KeyS","type":"keyup"})"}));
    // A render without a new page installs nothing.
    shown.set(false);
    pg.settle();
    EXPECT_EQ(installs().size(), 1u);
    // The page is replaced: the next render installs again under the same id,
    // and the values reach the same handler.
    pg.root.begin_recovery();
    pg.settle();
    pg.root.finish_recovery();
    pg.settle();
    ASSERT_EQ(installs().size(), 2u);
    EXPECT_EQ(installs()[1]->text, first_text);
    installs()[1]->feed.push(Json{{"type", "mouseup"}, {"button", 0}});
    pg.settle();
    EXPECT_EQ(seen.events.size(), 3u);
    EXPECT_TRUE(pg.scripts_with("removeEventListener").empty());
    pg.root.unmount();
    pg.settle();
    auto removals = pg.scripts_with("removeEventListener");
    ASSERT_EQ(removals.size(), 1u);
    EXPECT_NE(removals[0]->text.find(first_text.substr(first_text.find("\"_"), 39)), std::string::npos);
}

TEST(Assets, StylesheetsFontAndIconsHaveHashedUrls) {
    const char* order[] = {"main",      "light",       "dark",      "button",         "tooltip",  "cuetext",
                           "grid",      "stepper",     "dropdown",  "slider",         "meter",    "cuelist",
                           "focus_overlay", "edit_cue_text", "alert", "waveform",     "tabs",     "popup_button",
                           "context_menu", "notifications", "eq_editor"};
    ASSERT_EQ(app_styles::ALL_CSS.size(), 21u);
    std::filesystem::path dir = VELTRUM_ASSETS_DIR;
    for (std::size_t i = 0; i < 21; ++i) {
        const Asset& a = app_styles::ALL_CSS[i];
        EXPECT_EQ(a.name, std::string(order[i]) + ".css");
        EXPECT_TRUE(a.url().starts_with("veltrum://app/assets/") && hashed(a.file(), order[i], ".css")) << a.url();
        EXPECT_TRUE(std::filesystem::is_regular_file(dir / a.file())) << a.file();
    }
    EXPECT_EQ(icons::ADD.url(), icons::PLUS.url());
    EXPECT_EQ(icons::DOWN.url(), icons::CHEVRON_DOWN.url());
    EXPECT_NE(icons::PLUS.url(), icons::MINUS.url());
    for (const Asset& a : {icons::ADD, icons::MINUS, icons::DOWN, icons::CHEVRON_RIGHT, icons::CHEVRON_LEFT, icons::DELETE,
                           icons::CONFIRM, icons::PREVIEW, icons::TEXT_CUE_VISIBILITY_OFF, icons::SPEAKER, icons::CAPTURE,
                           icons::LIGHT_MODE, icons::DARK_MODE, icons::LOCK, icons::PLAY, icons::STOP, icons::RESET,
                           icons::VOLUME, icons::TIMECODE, icons::PREDICTED, app_styles::INTER_FONT}) {
        std::string_view name = a.name;
        std::string_view ext = name.substr(name.rfind('.'));
        EXPECT_TRUE(hashed(a.file(), name.substr(0, name.size() - ext.size()), ext)) << a.file();
        EXPECT_TRUE(std::filesystem::is_regular_file(dir / a.file())) << a.file();
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / "icons/LICENSE"));
    EXPECT_EQ(Asset{"nothing.css"}.url(), "veltrum://app/assets/nothing.css");
}

}  // namespace
}  // namespace shared_ui
