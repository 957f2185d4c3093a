// The settings record: its file form, reading, loading with its fallbacks,
// saving, the repairs of sanitize and the two input selections.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "base/log.h"
#include "engine/settings/settings.h"
#include "fixture.h"

using namespace engine::settings;
using namespace settings_test;

namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

fs::path golden(const char* name) { return fs::path(VELTRUM_TEST_DIR) / "golden" / name; }

Settings read_ok(std::string_view text) {
    auto s = Settings::deserialize(text);
    EXPECT_TRUE(s.has_value()) << text << "\n -> " << (s ? "" : s.error());
    return s ? *s : Settings{};
}

// A record with every field away from its default.
Settings everything_changed() {
    Settings s;
    s.dark_mode = false;
    s.ui_size = UiSize::Normal;
    s.host = "JACK Audio Connection Kit";
    s.device = "jack:system";
    s.device_name = "system";
    s.mic_channel = 3;
    s.ref_channel = 18446744073709551615ull;
    s.sample_rate = 96000;
    s.average_secs = 0.1f;
    s.coherence_threshold = 0.55f;
    s.show_ir = false;
    s.show_coh = false;
    s.show_mag = false;
    s.wing_ip = "192.168.1.62";
    s.wing_target = "bus 1";
    s.wing_parts = Parts{.eq = false, .zone_eq = true, .air = false, .hp = true, .lp = false, .delay = true,
                         .polarity = false};
    s.show_phase = false;
    s.show_rta = true;
    s.view = View::Spl;
    s.weighting = Weighting::C;
    s.spl_response = Response::Slow;
    s.spl_fft = 32768;
    s.spl_smoothing = 255;
    s.spl_input = Input{"ALSA", "alsa:hw:1", "USB mic", 1, 44100, "/cal/mic \"A\".txt"};
    s.spl_range_top_db = 10.5f;
    s.spl_range_bottom_db = -120.25f;
    s.spl_peak_decay = 12.0f;
    s.spl_leq_short_secs = 1;
    s.spl_leq_long_secs = 4294967295u;
    s.mic_cal_path = "/cal/tab\there.txt";
    s.spl_offset_db = -INF;
    s.smoothing = 6;
    s.accumulate = false;
    s.find_on_start = true;
    s.stop_on_capture = true;
    s.left_pane = false;
    s.right_pane = false;
    s.cycles = -3.0f;
    s.delay_ms = 12.345f;
    s.latency_ms = 1.5f;
    s.temperature_c = INF;
    s.humidity_pct = 1e-10f;
    s.target = Curve::Flat;
    s.bass_db = 20.0f;
    s.ref_internal = true;
    s.out_device = "pulse:Built-in Audio Analog Stereo";
    s.out_channel = 7;
    s.signal = Signal::Chirp;
    s.sine_hz = 997.0f;
    s.sweep_secs = 30.0f;
    s.gen_db = -60.0f;
    s.recent_projects = {"/home/u/show \"one\".vtproject", "/home/u/b.vtproject", "relative/c.vtproject"};
    s.last_project = fs::path("/home/u/show \"one\".vtproject");
    return s;
}

}  // namespace

// ---- field names -----------------------------------------------------------------

TEST(SettingsFieldNames, EveryNameMatchesItsOwnFieldAndNothingElse) {
    const std::vector<std::string_view> names = {
        "dark_mode", "ui_size", "host", "device", "device_name", "mic_channel", "ref_channel", "sample_rate",
        "average_secs", "coherence_threshold", "show_ir", "show_coh", "show_mag", "wing_ip", "wing_target",
        "wing_parts", "show_phase", "show_rta", "view", "weighting", "spl_response", "spl_fft", "spl_smoothing",
        "spl_input", "spl_range_top_db", "spl_range_bottom_db", "spl_peak_decay", "spl_leq_short_secs",
        "spl_leq_long_secs", "mic_cal_path", "spl_offset_db", "smoothing", "accumulate", "find_on_start",
        "stop_on_capture", "left_pane", "right_pane", "cycles", "delay_ms", "latency_ms", "temperature_c",
        "humidity_pct", "target", "bass_db", "ref_internal", "out_device", "out_channel", "signal", "sine_hz",
        "sweep_secs", "gen_db", "recent_projects", "last_project"};
    ASSERT_EQ(names.size(), Settings::FIELD_COUNT);
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(Settings::field_index(names[i]), i) << names[i];
        EXPECT_EQ(Settings::field_name(i), names[i]);
    }
    const std::vector<std::string_view> inputs = {"host",        "device",      "device_name",
                                                  "mic_channel", "sample_rate", "mic_cal_path"};
    for (std::size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(Input::field_index(inputs[i]), i) << inputs[i];
    for (std::string_view other : {"right_panel", "Dark_Mode", "", "dark_mode ", "spl_input.host", "ref"}) {
        EXPECT_EQ(Settings::field_index(other), Settings::FIELD_COUNT) << other;
        EXPECT_EQ(Input::field_index(other), Input::FIELD_COUNT) << other;
    }
    EXPECT_EQ(Input::field_index("ref_channel"), Input::FIELD_COUNT);
}

// ---- the written form -------------------------------------------------------------

TEST(SettingsFile, DefaultRecordMatchesTheGoldenFileByteForByte) {
    const auto text = Settings{}.render();
    ASSERT_TRUE(text) << text.error();
    EXPECT_EQ(*text, slurp(golden("settings_default.ron")));
    EXPECT_EQ(std::count(text->begin(), text->end(), '\n'), 69);
    EXPECT_EQ(text->back(), ')');
}

TEST(SettingsFile, ListsOptionalsEscapesAndSpecialNumbers) {
    Settings s;
    s.recent_projects = {"/a/x \"q\".vtproject", "/b/\\y\n.vtproject"};
    s.last_project = fs::path("/a/x \"q\".vtproject");
    s.target.reset();
    s.average_secs = NaN;
    s.gen_db = -INF;
    s.sine_hz = INF;
    s.cycles = -NaN;
    const auto text = s.render();
    ASSERT_TRUE(text) << text.error();
    for (std::string_view line :
         {"\n    recent_projects: [\n        \"/a/x \\\"q\\\".vtproject\",\n        \"/b/\\\\y\\n.vtproject\",\n    ],\n",
          "\n    last_project: Some(\"/a/x \\\"q\\\".vtproject\"),\n)", "\n    target: None,\n",
          "\n    average_secs: NaN,\n", "\n    gen_db: -inf,\n", "\n    sine_hz: inf,\n", "\n    cycles: -NaN,\n"})
        EXPECT_NE(text->find(line), std::string::npos) << line << "\nin\n" << *text;
}

TEST(SettingsFile, EveryFieldReadsBackAsWritten) {
    const Settings s = everything_changed();
    const auto text = s.render();
    ASSERT_TRUE(text) << text.error();
    EXPECT_EQ(read_ok(*text), s);

    Settings odd;
    odd.average_secs = NaN;
    odd.target.reset();
    const auto back = read_ok(*odd.render());
    EXPECT_TRUE(std::isnan(back.average_secs));
    EXPECT_FALSE(back.target.has_value());
}

TEST(SettingsFile, UnusualTextsReadBackUnchanged) {
    Settings s;
    s.host = std::string("nul \0, bell \x07, del \x7f", 20);
    s.device = "quote ' double \" back \\ cr \r lf \n tab \t";
    s.device_name = "e\xCC\x81 (combining), \xE2\x80\x8B (zero width), \xC2\xA0 (no-break), \xF0\x9F\x8E\x9B";
    s.wing_target = "\xE2\x80\xAE right-to-left";
    const auto text = s.render();
    ASSERT_TRUE(text) << text.error();
    EXPECT_EQ(std::count(text->begin(), text->end(), '\n'), 69);  // no line end inside a text
    EXPECT_NE(text->find("    device: \"quote \\' double \\\" back \\\\ cr \\r lf \\n tab \\t\","), std::string::npos)
        << *text;
    EXPECT_EQ(read_ok(*text), s);
}

TEST(SettingsFile, EveryCutOfAFileIsRefused) {
    const auto text = *everything_changed().render();
    for (std::size_t n = 0; n < text.size(); ++n)
        EXPECT_FALSE(Settings::deserialize(std::string_view(text).substr(0, n)).has_value()) << n;
    EXPECT_TRUE(Settings::deserialize(text).has_value());
}

// ---- reading ------------------------------------------------------------------------

TEST(SettingsReader, AcceptedTexts) {
    struct Case {
        const char* text;
        std::function<void(Settings&)> expect;  // turns the default record into the expected one
    };
    const Case cases[] = {
        {"()", [](Settings&) {}},
        {"Settings()", [](Settings&) {}},
        {"  // written by hand\n Settings /* name */ ( ) \n// end\n", [](Settings&) {}},
        {"(dark_mode: false, view: Spl)",
         [](Settings& s) {
             s.dark_mode = false;
             s.view = View::Spl;
         }},
        {"(future_key: [1, 2], dark_mode: false,)", [](Settings& s) { s.dark_mode = false; }},
        {"(right_panel: false, Dark_Mode: false)", [](Settings&) {}},
        {"(spl_input: (host: \"x\"))", [](Settings& s) { s.spl_input.host = "x"; }},
        {"(spl_input: Input(sample_rate: 44100, extra: Some(\"y\")))",
         [](Settings& s) { s.spl_input.sample_rate = 44100; }},
        {"(target: None)", [](Settings& s) { s.target.reset(); }},
        {"(target: Some(Flat))", [](Settings& s) { s.target = Curve::Flat; }},
        {"(target: Some(LivePaB))", [](Settings& s) { s.target = Curve::LivePa; }},
        {"(wing_parts: (eq: false, hp: true, lp: true, delay: false, polarity: true))",
         [](Settings& s) {
             s.wing_parts.eq = false;
             s.wing_parts.delay = false;
         }},
        {"(last_project: Some(\"/p/a.vtproject\"), spl_smoothing: 255, sample_rate: 4294967295)",
         [](Settings& s) {
             s.last_project = fs::path("/p/a.vtproject");
             s.spl_smoothing = 255;
             s.sample_rate = 4294967295u;
         }},
        {"(recent_projects: [\"1\", \"2\", \"3\", \"4\", \"5\", \"6\", \"7\"])",
         [](Settings& s) { s.recent_projects = {"1", "2", "3", "4", "5", "6", "7"}; }},
        {"(gen_db: -inf, sine_hz: inf, ui_size: Small, weighting: A, spl_response: Medium, signal: Pink)",
         [](Settings& s) {
             s.gen_db = -INF;
             s.sine_hz = INF;
             s.ui_size = UiSize::Small;
             s.weighting = Weighting::A;
             s.spl_response = Response::Medium;
             s.signal = Signal::Pink;
         }},
    };
    for (const auto& c : cases) {
        Settings want;
        c.expect(want);
        EXPECT_EQ(read_ok(c.text), want) << c.text;
    }
    EXPECT_TRUE(std::isnan(read_ok("(average_secs: NaN)").average_secs));
}

TEST(SettingsReader, RefusedTexts) {
    struct Case {
        const char* text;
        const char* error;  // the whole error text, position included
    };
    const Case cases[] = {
        {"(dark_mode: true, dark_mode: false)", "1:19-1:28: Unexpected duplicate field named `dark_mode` in `Settings`"},
        {"(spl_input: (host: \"a\",\n host: \"b\"))", "2:2-2:6: Unexpected duplicate field named `host` in `Input`"},
        {"(ui_size: Huge)",
         "1:11-1:15: Unexpected variant named `Huge` in enum `UiSize`, expected one of `Tiny`, `Small`, or `Normal` "
         "instead"},
        {"(view: spl)", "1:8-1:11: Unexpected variant named `spl` in enum `View`, expected either `Transfer` or `Spl` "
                        "instead"},
        {"(spl_smoothing: 300)", nullptr},
        {"(mic_channel: -1)", nullptr},
        {"(dark_mode: 1)", nullptr},
        {"(host: None)", nullptr},
        {"()()", nullptr},
        {"() x", nullptr},
        {"Input()", nullptr},
        {"(spl_input: Settings())", nullptr},
        {"(wing_parts: (eq: true))", nullptr},
        {"(target: Some(Pink))", nullptr},
        {"(dark_mode: true", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        auto s = Settings::deserialize(c.text);
        ASSERT_FALSE(s.has_value()) << c.text;
        if (c.error) {
            EXPECT_EQ(s.error(), c.error) << c.text;
        } else {
            EXPECT_NE(s.error().find(':'), std::string::npos) << c.text << " -> " << s.error();
        }
    }
}

// ---- loading ------------------------------------------------------------------------

using SettingsLoad = DataFolder;

TEST_F(SettingsLoad, NoDataFolder) {
    spit(home_ / "plain-file", "x");
    setenv("XDG_DATA_HOME", (home_ / "plain-file").c_str(), 1);  // the folder cannot be made
    base::log::Capture cap;
    EXPECT_EQ(Settings::load(), Settings{});
    const auto recs = cap.with_message("no config dir, using default settings");
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].level, base::log::Level::Warn);
    EXPECT_EQ(recs[0].target, "Veltrum::engine::settings");
}

TEST_F(SettingsLoad, NoFile) {
    base::log::Capture cap;
    EXPECT_EQ(Settings::load(), Settings{});
    const auto recs = cap.with_message("no settings found, using defaults");
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].level, base::log::Level::Info);
    EXPECT_FALSE(fs::exists(file_));  // nothing written back
    EXPECT_FALSE(fs::exists(folder_ / "settings.ron.bad"));
}

TEST_F(SettingsLoad, GoodFileIsReadAndLeftAsItIs) {
    make_folder();
    const std::string text = "(dark_mode: false, average_secs: 0.01, unknown: 1)";
    spit(file_, text);
    base::log::Capture cap;
    const Settings s = Settings::load();
    EXPECT_FALSE(s.dark_mode);
    EXPECT_EQ(s.average_secs, 0.01f);  // repaired only by sanitize
    EXPECT_EQ(cap.with_message("settings loaded").size(), 1u);
    EXPECT_EQ(slurp(file_), text);
    EXPECT_FALSE(fs::exists(folder_ / "settings.ron.bad"));
}

// Every file that is there but does not give a record: the defaults, the file
// left in place. One that does not parse is kept as a copy
// "settings.ron.bad" beside it (an older copy replaced) unless the copy
// itself fails.
TEST_F(SettingsLoad, FilesThatDoNotParseAreKeptAsBadCopies) {
    make_folder();
    const fs::path bad = folder_ / "settings.ron.bad";
    struct Case {
        const char* label;
        std::function<void()> prepare;
        std::string error;   // the reason in the log line
        bool copied;
        std::string copy_error;
    };
    const std::string parse_error = "(dark_mode: maybe)";
    const Case cases[] = {
        {"parse error", [&] { spit(file_, parse_error); spit(bad, "an older copy"); },
         "1:13: Expected a boolean but found a unit variant instead", true, ""},
        {"parse error, copy fails",
         [&] {
             spit(file_, parse_error);
             fs::create_directories(bad / "in-the-way");
         },
         "1:13: Expected a boolean but found a unit variant instead", false,
         api::client::os_error_text(EISDIR)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::error_code ec;
        fs::remove_all(file_, ec);
        c.prepare();
        const std::string before = slurp(file_);
        base::log::Capture cap;
        EXPECT_EQ(Settings::load(), Settings{});
        const auto recs = cap.records();
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0].level, base::log::Level::Warn);
        EXPECT_EQ(recs[0].target, "Veltrum::engine::settings");
        EXPECT_TRUE(recs[0].fields.empty());
        if (c.copied) {
            EXPECT_EQ(recs[0].message, "settings: " + c.error + "; kept as " + bad.string() + ", using defaults");
            EXPECT_EQ(slurp(bad), before);
            EXPECT_EQ(slurp(file_), before);  // a copy, not a rename
        } else {
            EXPECT_EQ(recs[0].message, "settings: " + c.error + "; using defaults (copy failed: " + c.copy_error + ")");
        }
        fs::remove_all(bad, ec);
    }
}

// A file that cannot be read as text: the WARN "settings unreadable, using
// defaults: {}" with the reason. Text that is not UTF-8 is kept as a copy
// "settings.ron.bad" (named in the line's field `kept`, or the copy's error
// in `copy_failed`); what cannot be read at all is left as it is.
TEST_F(SettingsLoad, UnreadableFilesGiveDefaultsWithTheirReason) {
    make_folder();
    const fs::path bad = folder_ / "settings.ron.bad";
    const std::string invalid_utf8 = "(host: \"caf\xE9\")";
    struct Case {
        const char* label;
        std::function<void()> prepare;
        std::string error;
        const char* field;  // "kept", "copy_failed" or none
        std::string value;
    };
    const Case cases[] = {
        {"not UTF-8", [&] { spit(file_, invalid_utf8); spit(bad, "an older copy"); },
         "stream did not contain valid UTF-8", "kept", bad.string()},
        {"not UTF-8, copy fails", [&] { spit(file_, invalid_utf8); fs::create_directories(bad / "in-the-way"); },
         "stream did not contain valid UTF-8", "copy_failed", api::client::os_error_text(EISDIR)},
        {"a folder", [&] { fs::create_directories(file_ / "inside"); }, api::client::os_error_text(EISDIR), nullptr, ""},
        // Special files are not read (a device would never end, a FIFO would
        // block start-up) and are left as they are.
        {"a link to /dev/zero", [&] { fs::create_symlink("/dev/zero", file_); }, "not a regular file", nullptr, ""},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0); }, "not a regular file", nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::error_code ec;
        fs::remove_all(file_, ec);
        fs::remove_all(bad, ec);
        c.prepare();
        const std::string before = fs::is_regular_file(file_) ? slurp(file_) : "";
        base::log::Capture cap;
        EXPECT_EQ(Settings::load(), Settings{});
        const auto recs = cap.records();
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0].level, base::log::Level::Warn);
        EXPECT_EQ(recs[0].target, "Veltrum::engine::settings");
        EXPECT_EQ(recs[0].message, "settings unreadable, using defaults: " + c.error);
        if (c.field) {
            ASSERT_EQ(recs[0].fields.size(), 1u);
            EXPECT_EQ(recs[0].fields[0].name, c.field);
            EXPECT_EQ(recs[0].fields[0].value, c.value);
            if (std::string_view(c.field) == "kept") EXPECT_EQ(slurp(bad), before);
            EXPECT_EQ(slurp(file_), before);  // a copy, not a rename
        } else {
            EXPECT_TRUE(recs[0].fields.empty());
            EXPECT_FALSE(fs::is_regular_file(bad));
        }
        fs::remove_all(bad, ec);
    }
}

// ---- saving -------------------------------------------------------------------------

using SettingsSave = DataFolder;

TEST_F(SettingsSave, WritesTheFileInTheDataFolderAndLoadReadsItBack) {
    Settings{}.save();
    EXPECT_EQ(slurp(file_), slurp(golden("settings_default.ron")));

    const Settings s = everything_changed();
    s.save();
    EXPECT_EQ(Settings::load(), s);
}

TEST_F(SettingsSave, UnknownKeysAreGoneAfterTheNextSave) {
    make_folder();
    spit(file_, "(future_key: [1, 2], dark_mode: false)");
    const Settings s = Settings::load();
    s.save();
    const auto text = slurp(file_);
    EXPECT_EQ(text.find("future_key"), std::string::npos);
    EXPECT_NE(text.find("    dark_mode: false,\n"), std::string::npos);
}

TEST_F(SettingsSave, FailuresAreLoggedAndLeaveTheFileAsItWas) {
    make_folder();
    spit(file_, "(dark_mode: false)");
    struct Case {
        const char* label;
        std::function<void(Settings&)> change;
        std::string error;
    };
    const Case cases[] = {
        {"recent path not UTF-8", [](Settings& s) { s.recent_projects = {fs::path("/p/\xFF.vtproject")}; },
         "path contains invalid UTF-8 characters"},
        {"last path not UTF-8", [](Settings& s) { s.last_project = fs::path("/p/\xC3(.vtproject"); },
         "path contains invalid UTF-8 characters"},
        {"write fails", [this](Settings&) { fs::create_directories(folder_ / ("settings.ron." + std::to_string(getpid()) + ".tmp") / "x"); },
         api::client::os_error_text(EISDIR)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Settings s;
        c.change(s);
        base::log::Capture cap;
        s.save();
        const auto recs = cap.records();
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0].level, base::log::Level::Error);
        EXPECT_EQ(recs[0].target, "Veltrum::engine::settings");
        EXPECT_EQ(recs[0].message, "settings not saved: " + c.error);
        EXPECT_TRUE(recs[0].fields.empty());
        EXPECT_EQ(slurp(file_), "(dark_mode: false)");
    }
}

// A data folder that cannot be made (a plain file on its way, or the folder
// a link that leads nowhere): nothing is written and the loss is logged with
// its reason.
TEST_F(SettingsSave, ADataFolderThatCannotBeMadeIsLoggedWithItsReason) {
    struct Case {
        const char* label;
        std::function<void()> prepare;
        int err;  // the errno the message ends with; 0: any
    };
    const Case cases[] = {
        {"a plain file in the way",
         [this] {
             spit(home_ / "plain-file", "x");
             setenv("XDG_DATA_HOME", (home_ / "plain-file").c_str(), 1);
         },
         0},
        {"a dangling link",
         [this] {
             fs::remove_all(folder_);
             fs::create_directories(folder_.parent_path());
             fs::create_symlink(home_ / "gone", folder_);
         },
         EEXIST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        c.prepare();
        const auto folder = api::client::Product::config_dir(PRODUCT_ID);
        EXPECT_FALSE(folder);
        base::log::Capture cap;
        Settings{}.save();
        const auto recs = cap.records();
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0].level, base::log::Level::Error);
        EXPECT_EQ(recs[0].target, "Veltrum::engine::settings");
        EXPECT_TRUE(recs[0].message.starts_with("settings not saved: ")) << recs[0].message;
        EXPECT_NE(recs[0].message.find(" (os error "), std::string::npos) << recs[0].message;
        if (c.err) EXPECT_TRUE(recs[0].message.ends_with(api::client::os_error_text(c.err))) << recs[0].message;
        EXPECT_FALSE(fs::exists(home_ / "gone"));
        setenv("XDG_DATA_HOME", home_.c_str(), 1);
    }
}

// ---- sanitize -----------------------------------------------------------------------

TEST(SettingsReader, ListsThatWouldOutgrowTheFileAreRefused) {
    // Two million empty recent projects: a few MB of text that would build
    // twenty times as much.
    std::string text = "(recent_projects: [";
    for (int i = 0; i < 2'000'000; ++i) text += "\"\",";
    text += "])";
    auto s = Settings::deserialize(text);
    ASSERT_FALSE(s);
    EXPECT_TRUE(s.error().ends_with(": Exceeded memory limit")) << s.error();
}

TEST(SettingsSanitize, EveryClampAndFallback) {
    auto f32 = [](float Settings::*m) {
        return std::pair{std::function<void(Settings&, double)>([m](Settings& s, double v) { s.*m = static_cast<float>(v); }),
                         std::function<double(const Settings&)>([m](const Settings& s) { return s.*m; })};
    };
    const auto rate = std::pair{
        std::function<void(Settings&, double)>([](Settings& s, double v) { s.sample_rate = static_cast<std::uint32_t>(v); }),
        std::function<double(const Settings&)>([](const Settings& s) { return s.sample_rate; })};
    const auto spl_rate = std::pair{
        std::function<void(Settings&, double)>([](Settings& s, double v) { s.spl_input.sample_rate = static_cast<std::uint32_t>(v); }),
        std::function<double(const Settings&)>([](const Settings& s) { return s.spl_input.sample_rate; })};
    const auto fft = std::pair{
        std::function<void(Settings&, double)>([](Settings& s, double v) { s.spl_fft = static_cast<std::uint64_t>(v); }),
        std::function<double(const Settings&)>([](const Settings& s) { return static_cast<double>(s.spl_fft); })};
    struct Row {
        const char* field;
        std::pair<std::function<void(Settings&, double)>, std::function<double(const Settings&)>> acc;
        std::vector<std::pair<double, double>> in_out;  // value read, value after (NaN: stays NaN)
    };
    const double inf = INFINITY, nan = NAN;
    const Row rows[] = {
        {"sample_rate", rate, {{7999, 48000}, {8000, 8000}, {44100, 44100}, {768000, 768000}, {768001, 48000}, {0, 48000}, {4294967295.0, 48000}}},
        {"spl_input.sample_rate", spl_rate, {{7999, 48000}, {8000, 8000}, {768000, 768000}, {768001, 48000}, {0, 48000}}},
        {"average_secs", f32(&Settings::average_secs), {{0.05, 0.1f}, {0.1f, 0.1f}, {61, 60}, {60, 60}, {5, 5}, {nan, 3}, {inf, 3}, {-inf, 3}}},
        {"coherence_threshold", f32(&Settings::coherence_threshold), {{-0.2, 0}, {0.05f, 0.05f}, {1.5, 1}, {1, 1}, {0, 0}, {nan, 0.7f}, {inf, 0.7f}}},
        {"sine_hz", f32(&Settings::sine_hz), {{9.5, 10}, {20001, 20000}, {440, 440}, {nan, 1000}, {-inf, 1000}}},
        {"sweep_secs", f32(&Settings::sweep_secs), {{0.4f, 0.5}, {31, 30}, {2, 2}, {inf, 4}, {nan, 4}}},
        {"gen_db", f32(&Settings::gen_db), {{3, 0}, {-61, -60}, {-6, -6}, {-inf, -20}, {inf, -20}, {nan, -20}}},
        {"spl_peak_decay", f32(&Settings::spl_peak_decay), {{-1, 0}, {101, 100}, {0, 0}, {nan, 6}, {inf, 6}}},
        {"bass_db", f32(&Settings::bass_db), {{-0.5, 0}, {21, 20}, {9, 9}, {nan, 6}, {-inf, 6}}},
        {"spl_fft", fft, {{4096, 8192}, {65536, 8192}, {0, 8192}, {8192, 8192}, {16384, 16384}, {32768, 32768}}},
        {"spl_offset_db", f32(&Settings::spl_offset_db), {{-1000, -1000}, {3.5, 3.5}, {nan, 0}, {inf, 0}, {-inf, 0}}},
        {"cycles", f32(&Settings::cycles), {{-3, -3}, {1e30, 1e30f}, {nan, 0}, {inf, 0}}},
        // Any finite value taken as read; NaN and the infinities give the default.
        {"temperature_c", f32(&Settings::temperature_c), {{nan, 20}, {-inf, 20}, {-500, -500}}},
        {"humidity_pct", f32(&Settings::humidity_pct), {{inf, 50}, {nan, 50}, {400, 400}}},
        {"spl_range_top_db", f32(&Settings::spl_range_top_db), {{nan, -20}, {inf, -20}, {5, 5}}},
        {"spl_range_bottom_db", f32(&Settings::spl_range_bottom_db), {{-inf, -100}, {nan, -100}, {-300, -300}}},
        {"latency_ms", f32(&Settings::latency_ms), {{-inf, 0}, {nan, 0}, {-3, -3}}},
        {"delay_ms", f32(&Settings::delay_ms), {{nan, 0}, {inf, 0}, {12.5, 12.5}}},
    };
    for (const auto& row : rows) {
        for (const auto& [in, out] : row.in_out) {
            Settings s;
            row.acc.first(s, in);
            Settings expected = s;
            s.sanitize();
            const double got = row.acc.second(s);
            if (std::isnan(out)) {
                EXPECT_TRUE(std::isnan(got)) << row.field << " " << in;
            } else {
                EXPECT_EQ(got, out) << row.field << " " << in;
            }
            // Nothing but that field changes.
            row.acc.first(expected, got);
            if (!std::isnan(got)) {
                EXPECT_EQ(s, expected) << row.field << " " << in;
            }
        }
    }
}

// A file that gives every number of the record as NaN, -NaN, inf or -inf:
// after the repairs no number is left that is not finite, and each took its
// default.
TEST(SettingsSanitize, NoNonFiniteNumberSurvivesAFile) {
    const char* floats[] = {"average_secs",   "coherence_threshold", "spl_range_top_db", "spl_range_bottom_db",
                            "spl_peak_decay", "spl_offset_db",       "cycles",           "delay_ms",
                            "latency_ms",     "temperature_c",       "humidity_pct",     "bass_db",
                            "sine_hz",        "sweep_secs",          "gen_db"};
    for (const char* value : {"NaN", "-NaN", "inf", "-inf"}) {
        SCOPED_TRACE(value);
        std::string text = "(\n";
        for (const char* key : floats) text += fmt::format("    {}: {},\n", key, value);
        text += ")\n";
        auto s = Settings::deserialize(text);
        ASSERT_TRUE(s) << s.error();
        s->sanitize();
        EXPECT_EQ(*s, Settings{});
    }
}

TEST(SettingsSanitize, LeavesAGoodRecordAlone) {
    Settings s = everything_changed();
    s.spl_offset_db = 0.0f;
    s.temperature_c = 20.0f;
    const Settings before = s;
    s.sanitize();
    EXPECT_EQ(s, before);
    Settings d;
    d.sanitize();
    EXPECT_EQ(d, Settings{});
}

// ---- input selection ----------------------------------------------------------------

TEST(SettingsInput, TheTwoSelectionsAreKeptApart) {
    Settings s;
    s.host = "JACK";
    s.device = "jack:system";
    s.device_name = "system";
    s.mic_channel = 2;
    s.ref_channel = 5;
    s.sample_rate = 96000;
    s.mic_cal_path = "/cal/tf.txt";
    s.spl_input = Input{"ALSA", "alsa:hw:1", "USB", 0, 44100, "/cal/spl.txt"};

    EXPECT_EQ(s.input_of(false), (Input{"JACK", "jack:system", "system", 2, 96000, "/cal/tf.txt"}));
    EXPECT_EQ(s.input_of(true), s.spl_input);

    // Clearing one input's calibration leaves the other's.
    Settings t = s;
    Input tf = t.input_of(false);
    tf.mic_cal_path.clear();
    t.set_input(false, tf);
    EXPECT_EQ(t.mic_cal_path, "");
    EXPECT_EQ(t.spl_input.mic_cal_path, "/cal/spl.txt");
    EXPECT_EQ(t.ref_channel, 5u);
    Settings want = s;
    want.mic_cal_path.clear();
    EXPECT_EQ(t, want);

    Settings u = s;
    Input spl = u.input_of(true);
    spl.mic_cal_path.clear();
    spl.mic_channel = 9;
    u.set_input(true, spl);
    EXPECT_EQ(u.mic_cal_path, "/cal/tf.txt");
    want = s;
    want.spl_input.mic_cal_path.clear();
    want.spl_input.mic_channel = 9;
    EXPECT_EQ(u, want);

    // A new transfer-function input replaces all six fields, and nothing else.
    Settings v = s;
    v.set_input(false, Input{"h", "d", "n", 7, 8000, "c"});
    want = s;
    want.host = "h";
    want.device = "d";
    want.device_name = "n";
    want.mic_channel = 7;
    want.sample_rate = 8000;
    want.mic_cal_path = "c";
    EXPECT_EQ(v, want);
}
