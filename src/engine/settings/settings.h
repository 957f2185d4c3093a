#pragma once
// The application's preferences: the `Settings` record with its nested
// `Input`, the file "settings.ron" in the data folder that holds it (indented
// notation, every field written in declared order), and the repairs made to
// a record that came from outside the running program.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "engine/audio/generator.h"
#include "engine/core/tf.h"
#include "engine/meter/meter.h"
#include "engine/persist/notation.h"
#include "engine/tuning/design.h"
#include "engine/tuning/eqfit.h"

namespace engine::settings {

// Size of the whole interface (body class "ui-tiny", "ui-small", none).
enum class UiSize : std::uint8_t { Tiny = 0, Small = 1, Normal = 2 };
// The view shown: the transfer function or the SPL meter.
enum class View : std::uint8_t { Transfer = 0, Spl = 1 };

using Weighting = engine::tf::Weighting;
using Response = engine::meter::Response;
using Signal = engine::generator::Signal;
using Curve = engine::eqfit::Curve;
using Parts = engine::design::Parts;

// One input selection: the transfer-function input (six flat fields of
// `Settings`) or the SPL meter's input (`Settings::spl_input`).
struct Input {
    std::string host;
    std::string device;       // device id
    std::string device_name;  // its display name
    std::uint64_t mic_channel = 0;
    std::uint32_t sample_rate = 48000;
    std::string mic_cal_path;  // empty: no calibration

    // The position of a key among the 6 fields (0 "host" .. 5
    // "mic_cal_path"), or FIELD_COUNT for a key of no field. Exact,
    // case-sensitive match.
    static constexpr std::size_t FIELD_COUNT = 6;
    static std::size_t field_index(std::string_view key);

    // The record, with an optional leading type name "Input"; absent keys
    // take their defaults, unknown keys are skipped with their values.
    static notation::Parsed<Input> deserialize(notation::Reader& r);

    bool operator==(const Input&) const = default;
};

struct Settings {
    bool dark_mode = true;
    UiSize ui_size = UiSize::Tiny;
    std::string host;
    std::string device;
    std::string device_name;
    std::uint64_t mic_channel = 0;
    std::uint64_t ref_channel = 1;
    std::uint32_t sample_rate = 48000;
    float average_secs = 3.0f;
    float coherence_threshold = 0.7f;
    bool show_ir = true;
    bool show_coh = true;
    bool show_mag = true;
    std::string wing_ip;
    std::string wing_target;
    Parts wing_parts;  // all seven true
    bool show_phase = true;
    bool show_rta = false;
    View view = View::Transfer;
    Weighting weighting = Weighting::Z;
    Response spl_response = Response::Fast;
    std::uint64_t spl_fft = 8192;
    std::uint8_t spl_smoothing = 3;
    Input spl_input;
    float spl_range_top_db = -20.0f;
    float spl_range_bottom_db = -100.0f;
    float spl_peak_decay = 6.0f;
    std::uint32_t spl_leq_short_secs = 60;
    std::uint32_t spl_leq_long_secs = 900;
    std::string mic_cal_path;
    float spl_offset_db = 0.0f;
    std::uint8_t smoothing = 0;
    bool accumulate = true;
    bool find_on_start = false;
    bool stop_on_capture = false;
    bool left_pane = true;
    bool right_pane = true;
    float cycles = 0.0f;
    float delay_ms = 0.0f;
    float latency_ms = 0.0f;
    float temperature_c = 20.0f;
    float humidity_pct = 50.0f;
    std::optional<Curve> target = Curve::LivePa;
    float bass_db = 6.0f;
    bool ref_internal = false;
    std::string out_device;
    std::uint64_t out_channel = 0;
    Signal signal = Signal::Off;
    float sine_hz = 1000.0f;
    float sweep_secs = 4.0f;
    float gen_db = -20.0f;
    std::vector<std::filesystem::path> recent_projects;  // newest first
    std::optional<std::filesystem::path> last_project;

    // The position of a key among the 53 fields (0 "dark_mode" .. 52
    // "last_project"), or FIELD_COUNT for a key of no field. Exact,
    // case-sensitive match.
    static constexpr std::size_t FIELD_COUNT = 53;
    static std::size_t field_index(std::string_view key);
    static std::string_view field_name(std::size_t index);

    // ---- the file ------------------------------------------------------------

    // The record in the indented notation, as "settings.ron" holds it. Fails
    // with "path contains invalid UTF-8 characters" for a recent or last
    // project path that is not UTF-8.
    base::Result<std::string> render() const;
    // Reads a whole file's text: optional type name "Settings", one record,
    // nothing but blanks and comments after it. Absent keys take their
    // defaults; unknown keys are skipped; a key given twice, a value of the
    // wrong type or width and an unknown variant name fail the read. The
    // error reads "line:column: message". No range checks.
    static base::Result<Settings> deserialize(std::string_view text);
    // The same on a reader (leaves what follows the record unread).
    static notation::Parsed<Settings> deserialize(notation::Reader& r);

    // Writes the record to "settings.ron" in the data folder (atomically).
    // Without a home folder it does nothing; a data folder that cannot be
    // made, or any other failure, is logged as ERROR "settings not saved: {}"
    // and swallowed.
    void save() const;
    // Writes to the given file; the error of rendering or writing.
    base::Result<void> save_to(const std::filesystem::path& file) const;

    // The record in "settings.ron" of the data folder, or the default record
    // when there is no folder, no file or a file that does not read. A file
    // that exists but does not read is kept as "settings.ron.bad" beside it.
    // Never fails; logs what happened. Nothing is written back.
    static Settings load();
    // The same for a given data folder.
    static Settings load_from(const std::filesystem::path& folder);

    // ---- repairs and input selection -------------------------------------

    // Brings rates, FFT size, times, levels and thresholds that the analyzer,
    // the meter and the generator cannot use back into range; a non-finite
    // value takes the field's default.
    void sanitize();
    // The transfer-function input (spl false) or a copy of `spl_input`.
    Input input_of(bool spl) const;
    // Replaces that input; nothing else changes.
    void set_input(bool spl, Input input);

    bool operator==(const Settings&) const = default;
};

// The file name in the data folder, the product id of the data folder, and
// the log target of this module.
inline constexpr std::string_view FILE_NAME = "settings.ron";
inline constexpr std::string_view PRODUCT_ID = "veltrum";
inline constexpr std::string_view LOG_TARGET = "Veltrum::engine::settings";

}  // namespace engine::settings
