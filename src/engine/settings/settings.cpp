#include "engine/settings/settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <new>
#include <utility>

#include "api/client.h"
#include "base/log.h"
#include "base/utf8.h"
#include "engine/persist/trace_file.h"

namespace engine::settings {
namespace {

using notation::FieldSpec;
using notation::Parsed;
using notation::Reader;
using notation::store;
using notation::Writer;

constexpr std::array<FieldSpec, Settings::FIELD_COUNT> SETTINGS_FIELDS = {{
    {"dark_mode"},        {"ui_size"},
    {"host"},             {"device"},
    {"device_name"},      {"mic_channel"},
    {"ref_channel"},      {"sample_rate"},
    {"average_secs"},     {"coherence_threshold"},
    {"show_ir"},          {"show_coh"},
    {"show_mag"},         {"wing_ip"},
    {"wing_target"},      {"wing_parts"},
    {"show_phase"},       {"show_rta"},
    {"view"},             {"weighting"},
    {"spl_response"},     {"spl_fft"},
    {"spl_smoothing"},    {"spl_input"},
    {"spl_range_top_db"}, {"spl_range_bottom_db"},
    {"spl_peak_decay"},   {"spl_leq_short_secs"},
    {"spl_leq_long_secs"}, {"mic_cal_path"},
    {"spl_offset_db"},    {"smoothing"},
    {"accumulate"},       {"find_on_start"},
    {"stop_on_capture"},  {"left_pane"},
    {"right_pane"},       {"cycles"},
    {"delay_ms"},         {"latency_ms"},
    {"temperature_c"},    {"humidity_pct"},
    {"target"},           {"bass_db"},
    {"ref_internal"},     {"out_device"},
    {"out_channel"},      {"signal"},
    {"sine_hz"},          {"sweep_secs"},
    {"gen_db"},           {"recent_projects"},
    {"last_project"},
}};

constexpr std::array<FieldSpec, Input::FIELD_COUNT> INPUT_FIELDS = {{
    {"host"},
    {"device"},
    {"device_name"},
    {"mic_channel"},
    {"sample_rate"},
    {"mic_cal_path"},
}};

constexpr std::string_view UI_SIZES[] = {"Tiny", "Small", "Normal"};
constexpr std::string_view VIEWS[] = {"Transfer", "Spl"};
constexpr std::string_view WEIGHTINGS[] = {"Z", "A", "C"};
constexpr std::string_view RESPONSES[] = {"Fast", "Medium", "Slow"};
constexpr std::string_view SIGNALS[] = {"Off", "Sine", "Pink", "Sweep", "Chirp"};

constexpr std::string_view INVALID_PATH = "path contains invalid UTF-8 characters";

template <class E, std::size_t N>
std::string_view name_of(E e, const std::string_view (&names)[N]) {
    const auto i = static_cast<std::size_t>(e);
    return i < N ? names[i] : names[0];
}

// Reads a variant name of `names` into an enumeration whose codes follow it.
template <class E, std::size_t N>
Parsed<void> read_enum(Reader& r, std::string_view enum_name, const std::string_view (&names)[N], E& out) {
    auto i = r.variant(enum_name, std::span<const std::string_view>(names, N));
    if (!i) return std::unexpected(i.error());
    out = static_cast<E>(*i);
    return {};
}

template <std::size_t N>
std::size_t index_in(const std::array<FieldSpec, N>& fields, std::string_view key) {
    for (std::size_t i = 0; i < N; ++i)
        if (fields[i].key.size() == key.size() && fields[i].key == key) return i;
    return N;
}

using base::utf8::valid;

void write_input(Writer& w, const Input& in) {
    w.begin_record();
    w.field("host");
    w.string(in.host);
    w.field("device");
    w.string(in.device);
    w.field("device_name");
    w.string(in.device_name);
    w.field("mic_channel");
    w.u64(in.mic_channel);
    w.field("sample_rate");
    w.u64(in.sample_rate);
    w.field("mic_cal_path");
    w.string(in.mic_cal_path);
    w.end_record();
}

Parsed<std::filesystem::path> read_path(Reader& r) {
    auto s = r.string();
    if (!s) return std::unexpected(s.error());
    return std::filesystem::path(std::move(*s));
}

// Keeps a file that did not read as "<name>.ron.bad" beside it (its bytes,
// or why they could not be read) and logs why the defaults are used.
void keep_bad_copy(const std::filesystem::path& file, const std::string& why,
                   const base::Result<std::string>& bytes) {
    auto bad = file;
    bad.replace_extension(".ron.bad");
    auto copied = bytes ? api::client::write_atomic(bad, *bytes) : base::Result<void>(std::unexpected(bytes.error()));
    if (copied) {
        base::log::warn(LOG_TARGET, "settings: " + why + "; kept as " + bad.string() + ", using defaults");
    } else {
        const std::string& copy_error = copied.error();
        base::log::warn(LOG_TARGET, "settings: " + why + "; using defaults (copy failed: " + copy_error + ")");
    }
}

float clamp_or(float v, float lo, float hi, float fallback) {
    if (!std::isfinite(v)) return fallback;
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

std::uint32_t rate_or_default(std::uint32_t rate) { return rate >= 8000 && rate <= 768000 ? rate : 48000; }

}  // namespace

// ---- field names --------------------------------------------------------------

std::size_t Input::field_index(std::string_view key) { return index_in(INPUT_FIELDS, key); }

std::size_t Settings::field_index(std::string_view key) { return index_in(SETTINGS_FIELDS, key); }

std::string_view Settings::field_name(std::size_t index) {
    return index < FIELD_COUNT ? SETTINGS_FIELDS[index].key : std::string_view();
}

// ---- reading --------------------------------------------------------------------

Parsed<Input> Input::deserialize(Reader& r) {
    Input in;
    auto p = r.record("Input", std::span<const FieldSpec>(INPUT_FIELDS), [&](std::size_t i, Reader& rd) -> Parsed<void> {
        switch (i) {
            case 0: return store(rd.string(), in.host);
            case 1: return store(rd.string(), in.device);
            case 2: return store(rd.string(), in.device_name);
            case 3: return store(rd.unsigned_int<std::uint64_t>(), in.mic_channel);
            case 4: return store(rd.unsigned_int<std::uint32_t>(), in.sample_rate);
            default: return store(rd.string(), in.mic_cal_path);
        }
    });
    if (!p) return std::unexpected(p.error());
    return in;
}

Parsed<Settings> Settings::deserialize(Reader& r) {
    Settings s;  // absent keys keep their defaults
    auto field = [&](std::size_t i, Reader& rd) -> Parsed<void> {
        switch (i) {
            case 0: return store(rd.boolean(), s.dark_mode);
            case 1: return read_enum(rd, "UiSize", UI_SIZES, s.ui_size);
            case 2: return store(rd.string(), s.host);
            case 3: return store(rd.string(), s.device);
            case 4: return store(rd.string(), s.device_name);
            case 5: return store(rd.unsigned_int<std::uint64_t>(), s.mic_channel);
            case 6: return store(rd.unsigned_int<std::uint64_t>(), s.ref_channel);
            case 7: return store(rd.unsigned_int<std::uint32_t>(), s.sample_rate);
            case 8: return store(rd.f32(), s.average_secs);
            case 9: return store(rd.f32(), s.coherence_threshold);
            case 10: return store(rd.boolean(), s.show_ir);
            case 11: return store(rd.boolean(), s.show_coh);
            case 12: return store(rd.boolean(), s.show_mag);
            case 13: return store(rd.string(), s.wing_ip);
            case 14: return store(rd.string(), s.wing_target);
            case 15: return store(trace::read_parts(rd), s.wing_parts);
            case 16: return store(rd.boolean(), s.show_phase);
            case 17: return store(rd.boolean(), s.show_rta);
            case 18: return read_enum(rd, "View", VIEWS, s.view);
            case 19: return read_enum(rd, "Weighting", WEIGHTINGS, s.weighting);
            case 20: return read_enum(rd, "Response", RESPONSES, s.spl_response);
            case 21: return store(rd.unsigned_int<std::uint64_t>(), s.spl_fft);
            case 22: return store(rd.unsigned_int<std::uint8_t>(), s.spl_smoothing);
            case 23: return store(Input::deserialize(rd), s.spl_input);
            case 24: return store(rd.f32(), s.spl_range_top_db);
            case 25: return store(rd.f32(), s.spl_range_bottom_db);
            case 26: return store(rd.f32(), s.spl_peak_decay);
            case 27: return store(rd.unsigned_int<std::uint32_t>(), s.spl_leq_short_secs);
            case 28: return store(rd.unsigned_int<std::uint32_t>(), s.spl_leq_long_secs);
            case 29: return store(rd.string(), s.mic_cal_path);
            case 30: return store(rd.f32(), s.spl_offset_db);
            case 31: return store(rd.unsigned_int<std::uint8_t>(), s.smoothing);
            case 32: return store(rd.boolean(), s.accumulate);
            case 33: return store(rd.boolean(), s.find_on_start);
            case 34: return store(rd.boolean(), s.stop_on_capture);
            case 35: return store(rd.boolean(), s.left_pane);
            case 36: return store(rd.boolean(), s.right_pane);
            case 37: return store(rd.f32(), s.cycles);
            case 38: return store(rd.f32(), s.delay_ms);
            case 39: return store(rd.f32(), s.latency_ms);
            case 40: return store(rd.f32(), s.temperature_c);
            case 41: return store(rd.f32(), s.humidity_pct);
            case 42: return store(trace::read_target(rd), s.target);
            case 43: return store(rd.f32(), s.bass_db);
            case 44: return store(rd.boolean(), s.ref_internal);
            case 45: return store(rd.string(), s.out_device);
            case 46: return store(rd.unsigned_int<std::uint64_t>(), s.out_channel);
            case 47: return read_enum(rd, "Signal", SIGNALS, s.signal);
            case 48: return store(rd.f32(), s.sine_hz);
            case 49: return store(rd.f32(), s.sweep_secs);
            case 50: return store(rd.f32(), s.gen_db);
            case 51: {
                std::vector<std::filesystem::path> list;
                auto l = rd.list([&](Reader& e) -> Parsed<void> {
                    auto p = read_path(e);
                    if (!p) return std::unexpected(p.error());
                    return e.push(list, std::move(*p));
                });
                if (!l) return l;
                s.recent_projects = std::move(list);
                return {};
            }
            default: {
                auto some = rd.begin_optional();
                if (!some) return std::unexpected(some.error());
                if (!*some) {
                    s.last_project.reset();
                    return {};
                }
                auto p = read_path(rd);
                if (!p) return std::unexpected(p.error());
                s.last_project = std::move(*p);
                return rd.end_some();
            }
        }
    };
    auto p = r.record("Settings", std::span<const FieldSpec>(SETTINGS_FIELDS), field);
    if (!p) return std::unexpected(p.error());
    return s;
}

base::Result<Settings> Settings::deserialize(std::string_view text) {
    Reader r(text);
    auto s = deserialize(r);
    if (!s) return base::fail(s.error().text());
    if (auto end = r.finish(); !end) return base::fail(end.error().text());
    return std::move(*s);
}

// ---- writing --------------------------------------------------------------------

base::Result<std::string> Settings::render() const {
    for (const auto& p : recent_projects)
        if (!valid(p.native())) return base::fail(std::string(INVALID_PATH));
    if (last_project && !valid(last_project->native())) return base::fail(std::string(INVALID_PATH));

    std::string out;
    Writer w(out, notation::Layout::Indented);
    w.begin_record();
    w.field("dark_mode");
    w.boolean(dark_mode);
    w.field("ui_size");
    w.name(name_of(ui_size, UI_SIZES));
    w.field("host");
    w.string(host);
    w.field("device");
    w.string(device);
    w.field("device_name");
    w.string(device_name);
    w.field("mic_channel");
    w.u64(mic_channel);
    w.field("ref_channel");
    w.u64(ref_channel);
    w.field("sample_rate");
    w.u64(sample_rate);
    w.field("average_secs");
    w.f32(average_secs);
    w.field("coherence_threshold");
    w.f32(coherence_threshold);
    w.field("show_ir");
    w.boolean(show_ir);
    w.field("show_coh");
    w.boolean(show_coh);
    w.field("show_mag");
    w.boolean(show_mag);
    w.field("wing_ip");
    w.string(wing_ip);
    w.field("wing_target");
    w.string(wing_target);
    trace::write_parts_field(w, "wing_parts", wing_parts);
    w.field("show_phase");
    w.boolean(show_phase);
    w.field("show_rta");
    w.boolean(show_rta);
    w.field("view");
    w.name(name_of(view, VIEWS));
    w.field("weighting");
    w.name(name_of(weighting, WEIGHTINGS));
    w.field("spl_response");
    w.name(name_of(spl_response, RESPONSES));
    w.field("spl_fft");
    w.u64(spl_fft);
    w.field("spl_smoothing");
    w.u64(spl_smoothing);
    w.field("spl_input");
    write_input(w, spl_input);
    w.field("spl_range_top_db");
    w.f32(spl_range_top_db);
    w.field("spl_range_bottom_db");
    w.f32(spl_range_bottom_db);
    w.field("spl_peak_decay");
    w.f32(spl_peak_decay);
    w.field("spl_leq_short_secs");
    w.u64(spl_leq_short_secs);
    w.field("spl_leq_long_secs");
    w.u64(spl_leq_long_secs);
    w.field("mic_cal_path");
    w.string(mic_cal_path);
    w.field("spl_offset_db");
    w.f32(spl_offset_db);
    w.field("smoothing");
    w.u64(smoothing);
    w.field("accumulate");
    w.boolean(accumulate);
    w.field("find_on_start");
    w.boolean(find_on_start);
    w.field("stop_on_capture");
    w.boolean(stop_on_capture);
    w.field("left_pane");
    w.boolean(left_pane);
    w.field("right_pane");
    w.boolean(right_pane);
    w.field("cycles");
    w.f32(cycles);
    w.field("delay_ms");
    w.f32(delay_ms);
    w.field("latency_ms");
    w.f32(latency_ms);
    w.field("temperature_c");
    w.f32(temperature_c);
    w.field("humidity_pct");
    w.f32(humidity_pct);
    trace::write_target_field(w, target);
    w.field("bass_db");
    w.f32(bass_db);
    w.field("ref_internal");
    w.boolean(ref_internal);
    w.field("out_device");
    w.string(out_device);
    w.field("out_channel");
    w.u64(out_channel);
    w.field("signal");
    w.name(name_of(signal, SIGNALS));
    w.field("sine_hz");
    w.f32(sine_hz);
    w.field("sweep_secs");
    w.f32(sweep_secs);
    w.field("gen_db");
    w.f32(gen_db);
    w.field("recent_projects");
    w.begin_list();
    for (const auto& p : recent_projects) w.string(p.native());
    w.end_list();
    w.field("last_project");
    if (last_project) {
        w.begin_some();
        w.string(last_project->native());
        w.end_some();
    } else {
        w.none();
    }
    w.end_record();
    if (auto ok = w.result(); !ok) return std::unexpected(ok.error());
    return out;
}

base::Result<void> Settings::save_to(const std::filesystem::path& file) const {
    auto text = render();
    if (!text) return std::unexpected(text.error());
    return api::client::write_atomic(file, *text);
}

void Settings::save() const {
    const auto dir = api::client::Product::data_dir(PRODUCT_ID);
    if (!dir) {
        // Without a home folder the program runs without a data folder on
        // purpose; a folder that cannot be made loses the change unseen.
        if (dir.error() != api::client::NO_HOME_FOLDER) base::log::error(LOG_TARGET, "settings not saved: " + dir.error());
        return;
    }
    if (auto ok = save_to(*dir / FILE_NAME); !ok)
        base::log::error(LOG_TARGET, "settings not saved: " + ok.error());
}

// ---- loading --------------------------------------------------------------------

Settings Settings::load() {
    const auto dir = api::client::Product::config_dir(PRODUCT_ID);
    if (!dir) {
        base::log::warn(LOG_TARGET, "no config dir, using default settings");
        return Settings{};
    }
    return load_from(*dir);
}

namespace {

// Settings::load_from on the file itself; allocation failures pass through.
Settings load_file(const std::filesystem::path& file) {
    int err = 0;
    // Only a regular file, no larger than a project may be: a link to a
    // device or a FIFO is refused like any unreadable file.
    const auto bytes = api::client::read_file(file, api::client::READ_LIMIT, &err);
    if (!bytes && err == ENOENT) {
        base::log::info(LOG_TARGET, "no settings found, using defaults");
        return Settings{};
    }
    if (!bytes || !valid(*bytes)) {
        const std::string why = bytes ? "stream did not contain valid UTF-8" : bytes.error();
        // Text that is not UTF-8 is kept as a copy beside the file, so that
        // the next save does not destroy it unseen (where it went is in the
        // line's fields). A file that cannot be read cannot be copied; the
        // next save replaces it when it can.
        const std::string message = "settings unreadable, using defaults: " + why;
        if (!bytes) {
            base::log::warn(LOG_TARGET, message);
            return Settings{};
        }
        auto bad = file;
        bad.replace_extension(".ron.bad");
        if (auto copied = api::client::write_atomic(bad, *bytes))
            base::log::warn(LOG_TARGET, message, {{"kept", bad.string()}});
        else
            base::log::warn(LOG_TARGET, message, {{"copy_failed", copied.error()}});
        return Settings{};
    }
    auto s = Settings::deserialize(*bytes);
    if (!s) {
        keep_bad_copy(file, s.error(), bytes);
        return Settings{};
    }
    base::log::info(LOG_TARGET, "settings loaded");
    return std::move(*s);
}

}  // namespace

Settings Settings::load_from(const std::filesystem::path& folder) {
    // Running out of memory reading the file (it may be as large as a
    // project) is one more reason to start from the defaults.
    try {
        return load_file(folder / FILE_NAME);
    } catch (const std::bad_alloc&) {
        base::log::warn(LOG_TARGET, "settings unreadable, using defaults: out of memory");
        return Settings{};
    }
}

// ---- repairs and input selection ------------------------------------------

void Settings::sanitize() {
    sample_rate = rate_or_default(sample_rate);
    spl_input.sample_rate = rate_or_default(spl_input.sample_rate);
    average_secs = clamp_or(average_secs, 0.1f, 60.0f, 3.0f);
    coherence_threshold = clamp_or(coherence_threshold, 0.0f, 1.0f, 0.7f);
    sine_hz = clamp_or(sine_hz, 10.0f, 20000.0f, 1000.0f);
    sweep_secs = clamp_or(sweep_secs, 0.5f, 30.0f, 4.0f);
    gen_db = clamp_or(gen_db, -60.0f, 0.0f, -20.0f);
    spl_peak_decay = clamp_or(spl_peak_decay, 0.0f, 100.0f, 6.0f);
    bass_db = clamp_or(bass_db, 0.0f, 20.0f, 6.0f);
    if (spl_fft != 8192 && spl_fft != 16384 && spl_fft != 32768) spl_fft = 8192;
    // The other numbers are taken as read, but never as NaN or an infinity:
    // those reach rounding and the status line.
    const Settings defaults;
    for (auto field : {&Settings::spl_range_top_db, &Settings::spl_range_bottom_db, &Settings::spl_offset_db,
                       &Settings::cycles, &Settings::delay_ms, &Settings::latency_ms, &Settings::temperature_c,
                       &Settings::humidity_pct})
        if (!std::isfinite(this->*field)) this->*field = defaults.*field;
}

Input Settings::input_of(bool spl) const {
    if (spl) return spl_input;
    return Input{host, device, device_name, mic_channel, sample_rate, mic_cal_path};
}

void Settings::set_input(bool spl, Input input) {
    if (spl) {
        spl_input = std::move(input);
        return;
    }
    host = std::move(input.host);
    device = std::move(input.device);
    device_name = std::move(input.device_name);
    mic_channel = input.mic_channel;
    sample_rate = input.sample_rate;
    mic_cal_path = std::move(input.mic_cal_path);
}

}  // namespace engine::settings
