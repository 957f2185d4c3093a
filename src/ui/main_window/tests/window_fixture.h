#pragma once
// A main window state for tests: a private data folder, a manual loop with a
// virtual clock, recorded autosaves, a fake host with scripted file panels.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <thread>

#include "api/client.h"
#include "base/tests/support.h"
#include "engine/settings/settings.h"
#include "reactive/root.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Autosaved {
    Session session;
    std::optional<Path> project;
};

// A session with one trace per (source, position) pair given.
inline Trace make_trace(std::string name, std::string source, std::string position) {
    std::vector<engine::tf::Triple> bins(240, engine::tf::Triple{1.0f, 0.0f, 1.0f});
    Trace t = Trace::make(std::move(name), 48000, 0, bins, 0.5f);
    t.source = std::move(source);
    t.position = std::move(position);
    return t;
}

inline reactive::Task<PanelResult> answer_panel(std::shared_ptr<std::deque<PanelResult>> answers,
                                                std::shared_ptr<std::vector<FilePanel>> asked, FilePanel p) {
    asked->push_back(std::move(p));
    PanelResult r;
    if (!answers->empty()) {
        r = answers->front();
        answers->pop_front();
    }
    co_return r;
}

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        home_ = test_support::scratch("main_window", std::string(info->test_suite_name()) + "." + info->name());
        xdg_.emplace("XDG_DATA_HOME", home_.c_str());
        data_ = *api::client::Product::config_dir(engine::settings::PRODUCT_ID);
        host_ = std::make_shared<WindowHost>();
        host_->set_title = [this](const std::string& t) { titles.push_back(t); };
        host_->set_dark_theme = [this](bool dark) { dark_themes.push_back(dark); };
        host_->save_panel = [this](FilePanel p) { return answer_panel(panel_answers, panels, std::move(p)); };
        host_->open_panel = [this](FilePanel p) { return answer_panel(panel_answers, panels, std::move(p)); };
        state_.emplace(make_state(Settings{}, host_, hooks()));
    }

    AutosaveHooks hooks() {
        return AutosaveHooks{
            .autosave = [this](Session s, std::optional<Path> p) { autosaves.push_back({std::move(s), std::move(p)}); },
            .remove_autosave = [this] { ++autosave_removals; },
            .remove_kept_autosave = [this] { ++kept_removals; },
        };
    }

    WindowState& s() { return *state_; }

    // Runs the loop until `done` (work of the blocking pool included).
    bool drive(const std::function<bool()>& done) {
        for (int i = 0; i < 2000; ++i) {
            loop.run_until_idle();
            root.flush();
            if (done()) return true;
            std::this_thread::sleep_for(1ms);
        }
        return done();
    }
    void settle() {
        loop.run_until_idle();
        root.flush();
        loop.run_until_idle();
    }

    reactive::ManualLoop loop;
    reactive::Root root{loop, [](reactive::EditBatch) {}};
    fs::path home_, data_;
    std::optional<test_support::Env> xdg_;
    WindowHostRef host_;
    std::optional<WindowState> state_;
    std::vector<Autosaved> autosaves;
    int autosave_removals = 0;
    int kept_removals = 0;
    std::vector<std::string> titles;
    std::vector<bool> dark_themes;
    std::shared_ptr<std::deque<PanelResult>> panel_answers = std::make_shared<std::deque<PanelResult>>();
    std::shared_ptr<std::vector<FilePanel>> panels = std::make_shared<std::vector<FilePanel>>();
};

}  // namespace ui::main_window::testing
