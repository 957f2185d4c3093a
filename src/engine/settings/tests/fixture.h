#pragma once
// A private data folder for the settings tests: XDG_DATA_HOME points at a
// fresh scratch folder for the life of the fixture, so the tests never touch
// the user's own ~/.local/share.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "api/client.h"
#include "base/tests/support.h"
#include "engine/settings/settings.h"

namespace settings_test {

namespace fs = std::filesystem;

inline fs::path scratch_root() { return test_support::scratch_root("settings"); }

using test_support::slurp;
using test_support::spit;

class DataFolder : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        home_ = scratch_root() / (std::string(info->test_suite_name()) + "." + info->name());
        fs::remove_all(home_);
        fs::create_directories(home_);
        if (const char* old = std::getenv("XDG_DATA_HOME")) old_xdg_ = old;
        setenv("XDG_DATA_HOME", home_.c_str(), 1);
        folder_ = home_ / api::client::bundle_id(engine::settings::PRODUCT_ID);
        file_ = folder_ / engine::settings::FILE_NAME;
    }
    void TearDown() override {
        if (old_xdg_)
            setenv("XDG_DATA_HOME", old_xdg_->c_str(), 1);
        else
            unsetenv("XDG_DATA_HOME");
        std::error_code ec;
        fs::remove_all(home_, ec);
    }
    // Creates the data folder (the program does so on first use).
    void make_folder() { fs::create_directories(folder_); }

    fs::path home_, folder_, file_;
    std::optional<std::string> old_xdg_;
};

}  // namespace settings_test
