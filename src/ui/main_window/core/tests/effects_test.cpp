#include <gtest/gtest.h>

#include "reactive/fake_page.h"
#include "ui/main_window/core/effects.h"
#include "ui/main_window/core/project.h"
#include "ui/main_window/tests/window_fixture.h"

namespace ui::main_window {
namespace {

using engine::settings::SettingsStoreImplExt;
using engine::settings::UiSize;

TEST(BodyClass, Table) {
    EXPECT_EQ(body_class(true, UiSize::Tiny), "dark ui-tiny");
    EXPECT_EQ(body_class(true, UiSize::Small), "dark ui-small");
    EXPECT_EQ(body_class(false, UiSize::Normal), "light ");
}

TEST(WindowTitle, Table) {
    EXPECT_EQ(window_title(std::nullopt, false), "Veltrum - Untitled");
    EXPECT_EQ(window_title(std::nullopt, true), "Veltrum - Untitled*");
    EXPECT_EQ(window_title(Path("/x/Hall A.vtproject"), true), "Veltrum - Hall A*");
    EXPECT_EQ(window_title(Path("/x/Show.final.vtproject"), false), "Veltrum - Show.final");
}

struct HostProps {
    WindowState* s = nullptr;
    std::string plot;
    bool operator==(const HostProps&) const = default;
};

reactive::Element effects_host(const HostProps& p) {
    apply_body_class(*p.s);
    follow_dark_theme(*p.s);
    install_plot_script(*p.s, p.plot);
    update_window_title(*p.s);
    autosave_on_settings_change(*p.s);
    hide_tooltip_on_overlays(*p.s);
    install_stepper_enter_blur();
    return reactive::div();
}

class Effects : public testing::Window {
protected:
    void mount() {
        root.set_page(&page);
        root.mount(reactive::component(effects_host, HostProps{&s(), "/* plot */"}));
        settle();
    }
    std::size_t count(std::string_view needle) const {
        std::size_t n = 0;
        for (const auto& sc : page.scripts) n += sc.text.find(needle) != std::string::npos;
        return n;
    }
    reactive::FakePage page;
};

// A bubble shown for the control under a resting pointer goes when a prompt
// or dialog covers it or the trace rows move; other changes leave it.
TEST_F(Effects, TheTooltipGoesWhenAnOverlayOpensOrRowsMove) {
    mount();
    struct Case {
        const char* what;
        std::function<void()> change;
        bool hidden;
    };
    const Case cases[] = {
        {"a prompt opens", [&] { s().prompt.set(Prompt{Prompt::NewPosition{}}); }, true},
        {"the prompt closes", [&] { s().prompt.set(std::nullopt); }, false},
        {"a trace is added", [&] { s().traces.update([](auto& t) { t.push_back(testing::make_trace("a", "", "P")); }); },
         true},
        {"a trace is edited", [&] { s().traces.update([](auto& t) { t[0].visible = !t[0].visible; }); }, false},
        {"a dialog opens", [&] { s().dialog.set(Dialog{Dialog::Message{"t", "h"}}); }, true},
        {"the notice changes", [&] { s().notice.set("x"); }, false},
    };
    for (const auto& c : cases) {
        s().tooltip.update([](auto& t) {
            t.visible = true;
            t.text = "New position";
        });
        settle();
        c.change();
        settle();
        EXPECT_EQ(!s().tooltip.peek().visible, c.hidden) << c.what;
    }
}

TEST_F(Effects, OneSetupChangeGivesOneAutosave) {
    mount();
    EXPECT_TRUE(autosaves.empty());
    EXPECT_FALSE(s().unsaved.peek());
    SettingsStoreImplExt::update(s().settings, [](Settings& st) { st.coherence_threshold = 0.8f; });
    settle();
    EXPECT_TRUE(s().unsaved.peek());
    EXPECT_EQ(autosaves.size(), 1u);
    EXPECT_EQ(autosaves[0].session.setup.coherence_threshold, 0.8f);
    // Back to the saved value: no difference, nothing queued, the mark stays.
    SettingsStoreImplExt::update(s().settings, [](Settings& st) { st.coherence_threshold = 0.7f; });
    settle();
    EXPECT_EQ(autosaves.size(), 1u);
    EXPECT_TRUE(s().unsaved.peek());
    // Not a setup field.
    s().unsaved.set(false);
    SettingsStoreImplExt::update(s().settings, [](Settings& st) { st.gen_db = -10.0f; });
    settle();
    EXPECT_EQ(autosaves.size(), 1u);
    EXPECT_FALSE(s().unsaved.peek());
}

TEST_F(Effects, TitleAndBodyClassFollowTheirCells) {
    mount();
    ASSERT_FALSE(titles.empty());
    EXPECT_EQ(titles.back(), "Veltrum - Untitled");
    EXPECT_EQ(count("document.body.className = \"dark ui-tiny\";"), 1u);
    s().unsaved.set(true);
    settle();
    EXPECT_EQ(titles.back(), "Veltrum - Untitled*");
    const auto n = titles.size();
    SettingsStoreImplExt::toggle_dark_mode(s().settings);
    settle();
    EXPECT_EQ(count("document.body.className = \"light ui-tiny\";"), 1u);
    EXPECT_EQ(titles.size(), n);  // dark mode does not touch the title
    EXPECT_EQ(count("_stepperEnterBlur"), 1u);
}

TEST_F(Effects, NativeThemeFollowsDarkMode) {
    mount();
    EXPECT_EQ(dark_themes, (std::vector<bool>{true}));  // dark is the default
    SettingsStoreImplExt::toggle_dark_mode(s().settings);
    settle();
    EXPECT_EQ(dark_themes, (std::vector<bool>{true, false}));
    s().unsaved.set(true);  // another cell: no call
    SettingsStoreImplExt::update(s().settings, [](Settings& st) { st.gen_db = -12.0f; });
    settle();
    EXPECT_EQ(dark_themes, (std::vector<bool>{true, false}));
    SettingsStoreImplExt::toggle_dark_mode(s().settings);
    settle();
    EXPECT_EQ(dark_themes, (std::vector<bool>{true, false, true}));
}

TEST_F(Effects, PageScriptsComeBackAfterARecovery) {
    mount();
    EXPECT_EQ(count("/* plot */"), 1u);
    const auto first = s().plot_channel.peek().request();
    EXPECT_NE(first, 0u);
    root.begin_recovery();
    root.finish_recovery();
    settle();
    EXPECT_EQ(count("/* plot */"), 2u);
    EXPECT_EQ(count("_stepperEnterBlur"), 2u);
    EXPECT_EQ(count("document.body.className"), 2u);
    EXPECT_NE(s().plot_channel.peek().request(), first);
    EXPECT_TRUE(s().plot_channel.peek().send(nlohmann::json::array()));
}

}  // namespace
}  // namespace ui::main_window
