// The root component headless, on the process-wide autosave of a private
// data folder (its own program: the autosave folder is fixed per process).
#include <gtest/gtest.h>

#include "api/client.h"
#include "base/tests/support.h"
#include "engine/persist/autosave.h"
#include "reactive/dom.h"
#include "reactive/fake_page.h"
#include "reactive/root.h"
#include "ui/main_window/core/state.h"
#include "ui/main_window/frame/main_window.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::main_window {
namespace {

namespace fs = std::filesystem;

bool holds_text(const reactive::dom::Node& n, const std::string& text) {
    if (n.is_text) return n.text == text;
    for (const auto* c : n.children)
        if (holds_text(*c, text)) return true;
    return false;
}

const reactive::dom::Node* find_button(const reactive::dom::Node& n, const std::string& label) {
    if (n.tag == "button" && holds_text(n, label)) return &n;
    for (const auto* c : n.children)
        if (const auto* hit = find_button(*c, label)) return hit;
    return nullptr;
}

TEST(MainWindow, KilledRunIsRecoveredUnderItsOwnProject) {
    const auto home = test_support::scratch("main_window_root", "recover");
    test_support::Env xdg("XDG_DATA_HOME", home.c_str());
    const auto data = *api::client::Product::config_dir("veltrum");

    // The previous run edited project A, then died; the settings name C.
    const Path a = home / "A.vtproject", c = home / "C.vtproject";
    Session edited;
    edited.sources = {"Edited"};
    ASSERT_TRUE(api::client::write_atomic(data / "autosave.vtproject", *edited.encode()));
    test_support::spit(data / "autosave.project", a.string());
    Settings settings;
    settings.last_project = c;
    ASSERT_TRUE(settings.save_to(data / "settings.ron"));

    auto host = std::make_shared<WindowHost>();
    std::vector<std::string> titles;
    host->set_title = [&](const std::string& t) { titles.push_back(t); };
    host->args = {"veltrum"};
    host->device_lists = [](reactive::AsyncSender<DeviceLists>) {};

    reactive::ManualLoop loop;
    reactive::FakePage page;
    reactive::dom::Document doc;
    reactive::Root root(loop, [&](reactive::EditBatch b) { ASSERT_TRUE(doc.apply(b)); });
    root.set_page(&page);
    root.provide_context(WindowHostRef(host));
    root.mount(reactive::component(main_window, "main_window"));
    loop.run_until_idle();
    root.flush();

    // The autosave was set aside and is offered.
    EXPECT_FALSE(fs::exists(data / "autosave.vtproject"));
    EXPECT_TRUE(fs::exists(data / "autosave.kept.vtproject"));
    const auto* recover = find_button(doc.root(), "Recover");
    ASSERT_TRUE(recover) << doc.html();
    ASSERT_TRUE(find_button(doc.root(), "Discard"));
    // C did not read: its failure is not shown while the question is open.
    EXPECT_EQ(doc.html().find("Open failed"), std::string::npos);

    root.handle_event(recover->id, "click", reactive::Json::object());
    loop.run_until_idle();
    root.flush();
    EXPECT_EQ(doc.html().find("alert-background"), std::string::npos);  // closed
    ASSERT_FALSE(titles.empty());
    EXPECT_EQ(titles.back(), "Veltrum - A*");

    // The recovered work is queued again, for A; the kept copy is gone.
    engine::trace::autosave_wait_idle();
    EXPECT_FALSE(fs::exists(data / "autosave.kept.vtproject"));
    auto again = Session::try_read(data / "autosave.vtproject");
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(again->sources, std::vector<std::string>{"Edited"});
    EXPECT_EQ(test_support::slurp(data / "autosave.project"), a.string());

    // The body class and the stepper script reached the page.
    bool body = false, stepper = false, plot = false;
    for (const auto& s : page.scripts) {
        plot |= s.text == ui::tf_plot::plot_script();
        body |= s.text == "document.body.className = \"dark ui-tiny\";";
        stepper |= s.text.find("_stepperEnterBlur") != std::string::npos;
    }
    EXPECT_TRUE(body);
    EXPECT_TRUE(stepper);
    EXPECT_TRUE(plot);
    root.unmount();
}

}  // namespace
}  // namespace ui::main_window
