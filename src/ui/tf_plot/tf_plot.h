#pragma once
// The plot views: the measurement plot of the transfer view (impulse response,
// coherence, octave confidence strip, spectrum, magnitude and phase on one
// logarithmic frequency axis), the SPL view, the draggable handles, the path
// builders that turn measured data into drawing updates, the reflection
// analysis and the page script that applies the updates.
//
// The components render static skeletons with fixed element ids and empty
// path data; the curves, readout lists and spectrogram rows travel as
// PlotUpdate batches over one long-lived script channel (plot_script) and are
// written into the page without re-rendering.
//
// Coordinates: every panel is an SVG with viewBox "0 0 1000 1000", y = 0 at
// the top; frequency x(f) = ln(f / 20) / ln(1000) x 1000. All plot arithmetic
// is in 32-bit floats; path coordinates are whole numbers (ties to even).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "engine/core/tf.h"
#include "reactive/element.h"

namespace ui::tf_plot {

using engine::tf::Arrival;
using engine::tf::Point;
using reactive::Callback;
using reactive::Element;

// ---- coordinates and number text ------------------------------------------------

// ln(1000) as the plot takes it.
inline constexpr float LN_1000 = 6.9077554f;
// The ten grid frequencies of every frequency panel, in drawing order.
inline constexpr std::array<float, 10> GRID_HZ = {20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000};

// Frequency coordinate (0 at 20 Hz, 1000 at 20 kHz; not clamped).
float x_of_hz(float hz);
// Magnitude y: a 40 dB window with `ref` at the middle.
float mag_y(float db, float ref);
// Phase y: +180 deg at the top, -180 deg at the bottom.
float phase_y(float deg);
// Confidence y: 1 at the top, 0 at the bottom.
float conf_y(float conf);

// A number for the skeleton's attributes and styles: the shortest decimal
// text that reads back as the same 32-bit float, no exponent, whole numbers
// without a decimal point ("250", "47.61905"); "0" for NaN and infinities.
std::string num(float v);
// Grid frequency label: "20", "500", "1k", "20k".
std::string hz_label(float hz);

// ---- drawing updates --------------------------------------------------------------

// One attribute write into the page: element id, attribute name, value.
struct PlotUpdate {
    std::string id{};
    std::string_view attr{};  // one of the fixed names below
    std::string value{};
    bool operator==(const PlotUpdate&) const = default;
};

inline constexpr std::string_view ATTR_D = "d";
inline constexpr std::string_view ATTR_STYLE = "style";
inline constexpr std::string_view ATTR_PTS = "data-pts";
inline constexpr std::string_view ATTR_RTA = "data-rta";
inline constexpr std::string_view ATTR_IR = "data-ir";
inline constexpr std::string_view ATTR_IR_MS = "data-ir-ms";
inline constexpr std::string_view ATTR_ROW = "data-row";

// The batch as the page script takes it: a JSON array of [id, attribute,
// value] string triples, in order (sent as one value on the plot channel).
nlohmann::json plot_batch(const std::vector<PlotUpdate>& batch);
// The same, taking the batch's strings instead of copying them.
nlohmann::json plot_batch(std::vector<PlotUpdate>&& batch);

// The page script's body for a long-lived evaluation: it loads the plot
// script asset and runs its receive loop with these constants (the frequency
// axis in Hz, the time shown before the direct sound and the default
// impulse-response span in ms). Every batch sent on the evaluation is one
// plot_batch value.
std::string plot_script(float min_hz = 20, float max_hz = 20000, float pre_ms = 2, float ir_ms = 40);
// Where the page finds the plot script and stylesheet (under the runtime's
// asset root "tf_plot").
inline constexpr std::string_view ASSET_PREFIX = "tf_plot";
inline constexpr std::string_view SCRIPT_URL = "veltrum://app/assets/tf_plot/plot.js";
inline constexpr std::string_view STYLE_URL = "veltrum://app/assets/tf_plot/plot.css";

// ---- path builders ----------------------------------------------------------------

// How a curve's points become y coordinates.
struct YRule {
    enum Kind { Mag, Phase, Rta } kind = Mag;
    float ref = 0.0f;      // Mag: the level at the middle
    float top = 0.0f;      // Rta: the level at the top
    float range = 100.0f;  // Rta: dB from top to bottom
    float operator()(const Point& p) const;
};

// Path data of a curve: points with conf < threshold or a non-finite
// coordinate are left out and end the current run; a lone point gets "h2";
// phase curves also break a run where y jumps by more than 500.
std::string curve_path(const std::vector<Point>& pts, YRule y, float threshold);

// 1/N-octave smoothing of db, weighted by confidence (N = 0: unchanged).
std::vector<Point> smooth(const std::vector<Point>& pts, std::uint8_t n);
// 1/N-octave bands of a spectrum (N = 0: unchanged): each point's db becomes
// the level of the power summed over the 1/N octave around it (the window of
// `smooth`, its two end points counting half), so that a tone reads its own
// level whatever the bandwidth. Phase and confidence are copied.
std::vector<Point> rta_bands(const std::vector<Point>& pts, std::uint8_t n);

// Confidence-weighted median of curve.db - target.db over the points inside
// lo..hi Hz whose conf reaches the gate.
float mag_offset_to(const std::vector<Point>& curve, const std::vector<Point>* target, float gate, float lo,
                    float hi);

// A stored curve: its points, the number in its element ids, its gate.
struct StoredCurve {
    std::vector<Point> points{};
    std::size_t n = 0;
    float gate = 0.0f;
};

struct PathInputs {
    std::vector<Point> live{};
    std::optional<std::vector<Point>> accumulated{};
    std::array<float, 10> octave_conf{};
    std::vector<float> ir{};
    float threshold = 0.0f;
    float fixed_ref_db = 0.0f;
    float clean_mix = 0.0f;
    std::vector<StoredCurve> stored{};
    std::optional<std::vector<Point>> sum{};
    std::optional<std::vector<Point>> average{};
    std::optional<std::vector<Point>> eq_curve{};
    std::vector<std::pair<std::size_t, std::vector<Point>>> crossovers{};
    std::optional<std::array<Point, 240>> target{};
    bool fixed_ref = false;
    std::uint8_t smoothing = 0;
    std::optional<std::pair<std::vector<Point>, float>> rta{};  // spectrum and the level at its top
    std::vector<Arrival> arrivals{};
    std::optional<std::size_t> hovered{};
    std::optional<std::pair<std::vector<Point>, float>> reflect_source{};  // points and gate
    // The level the plot was drawn at before, kept (without a fixed level)
    // while the level found here stays within STEADY_REF_DB of it: a live
    // curve's mean level wanders by hundredths of a dB from pass to pass,
    // which would otherwise move every stored curve by a coordinate step.
    std::optional<float> steady_ref{};
};

// How far the found drawing level may be from the steady one before the
// plot follows it.
inline constexpr float STEADY_REF_DB = 0.1f;

struct Paths {
    std::vector<PlotUpdate> updates{};
    float ref_db = 0.0f;
};

// Every drawing update of the transfer view, in a fixed order, and the level
// drawn at the middle of the magnitude panel. Pure: equal inputs give equal
// bytes.
Paths build_paths(const PathInputs& in);

// The spectrum line, its peak hold and the spectrum readout list: exactly
// three updates ("tf-rta" d, "tf-rta-peak" d, "tf-plot" data-rta).
struct Spectrum {
    std::vector<Point> points{};
    float top = 0.0f;
    float range = 100.0f;
};
std::vector<PlotUpdate> rta_paths(const std::optional<Spectrum>& spectrum, const std::vector<Point>* peak);

// ---- reflections ----------------------------------------------------------------

// (ripple amplitude dB, ripple phase rad) per point.
using Ripple = std::vector<std::pair<float, float>>;
struct Reflections {
    std::vector<Ripple> per_arrival{};  // one list per input arrival
    std::vector<Point> clean{};         // the points with every reflection taken out
};
Reflections reflections_out(const std::vector<Point>& pts, const std::vector<Arrival>& arrivals, float gate);
// The level a ripple of `amp` dB and `phase` rad from a copy delayed by
// `tau` s adds at `hz`: 20 log10 |1 + g e^(-i theta)|, g = min(amp / 8.686,
// 0.95), theta = 2 pi hz tau - phase.
float ripple_db(float amp, float phase, float hz, float tau);
// clean.db - points.db per point.
std::vector<float> reflection_db(const std::vector<Point>& pts, const std::vector<Arrival>& arrivals, float gate);

// ---- impulse-response panel ---------------------------------------------------------

// Lane of arrival n's label (markers closer than 90 plot units move down).
int lane(const std::vector<Arrival>& arrivals, std::size_t n, float ir_ms);

struct IrPanel {
    std::vector<Arrival> arrivals{};
    std::vector<std::pair<std::uint8_t, float>> harmonics{};
    Callback<std::optional<std::size_t>> onarrival{};
    float ir_ms = 40.0f;
    bool operator==(const IrPanel&) const = default;
};
Element ir_panel(const IrPanel& p);

// ---- frame and panels ------------------------------------------------------------

struct PanelLabel {
    float y = 0.0f;
    std::string text{};
    bool zero = false;
    bool operator==(const PanelLabel&) const = default;
};

struct TfPanel {
    std::string kind{};
    std::string title{};
    std::vector<PanelLabel> labels{};
    bool x_labels = false;
    float shade = 0.0f;
    std::vector<std::pair<float, float>> shades{};
    Element overlay{};  // none: nothing
    Element paths{};
    bool operator==(const TfPanel&) const = default;
};
Element tf_panel(const TfPanel& p);

// The ten octave confidence cells "tf-fill-0" .. "tf-fill-9".
Element fill_strip();

// ---- handles --------------------------------------------------------------------

struct HandleKind {
    enum Tag { Point, Range, Line } tag = Point;
    float lo_hz = 0.0f, hi_hz = 0.0f;  // Range: the bar's ends; Line: unused
    static HandleKind point() { return {}; }
    static HandleKind range(float lo, float hi) { return {Range, lo, hi}; }
    static HandleKind line(float a = 0, float b = 0) { return {Line, a, b}; }
    bool operator==(const HandleKind&) const = default;
};

struct Handle {
    float hz = 1000.0f;
    float db = 0.0f;
    std::string label{};
    std::string_view cls{};
    std::string title{};
    HandleKind kind{};
    bool operator==(const Handle&) const = default;
};

struct PlotHandlesProps {
    std::vector<Handle> handles{};
    Callback<std::size_t, float, float> ondrag{};
    Callback<std::size_t, float> onwheel{};
    Callback<> ondragend{};
    bool operator==(const PlotHandlesProps&) const = default;
};
Element plot_handles(const PlotHandlesProps& p);

// Pointer position in the handle area -> (Hz, dB) of a drag.
std::pair<float, float> drag_value(double page_x, double page_y, double left, double top, double width,
                                   double height);
// Wheel delta in pixels (delta mode 0 pixels, 1 lines, 2 pages).
float wheel_pixels(double delta_y, int delta_mode);

// ---- the transfer plot ------------------------------------------------------------

struct TfPlotProps {
    Callback<reactive::MouseEvent> onmousedown{};
    bool show_ir = true;
    bool show_coh = true;
    bool show_mag = true;
    bool show_phase = true;
    bool show_rta = false;
    float rta_top_db = 0.0f;
    std::string rta_unit = "dBFS";
    bool show_fill = false;
    std::vector<std::pair<std::uint8_t, float>> harmonics{};
    bool predicted = false;
    bool live = false;
    float shade_below_hz = 0.0f;
    std::vector<std::pair<float, float>> shades{};
    std::vector<Arrival> arrivals{};
    float ir_ms = 40.0f;
    Callback<std::optional<std::size_t>> onarrival{};
    std::vector<std::pair<std::size_t, std::size_t>> stored{};  // path number, colour number
    bool seats = false;
    std::vector<std::size_t> xovers{};  // colour numbers
    std::vector<Handle> handles{};
    Callback<std::size_t, float, float> ondrag{};
    Callback<std::size_t, float> onwheel{};
    Callback<> ondragend{};
    bool operator==(const TfPlotProps&) const = default;
};
Element tf_plot(const TfPlotProps& p);

// ---- the SPL view ---------------------------------------------------------------

struct SplViewProps {
    std::array<float, 10> levels{};  // Z, A, C slow, short and long Leq, then their maxima
    std::string leq_short_label{};
    std::string leq_long_label{};
    std::string unit = "dBFS";
    float range_top_db = 0.0f;
    float range_bottom_db = -100.0f;
    bool operator==(const SplViewProps&) const = default;
};
Element spl_view(const SplViewProps& p);

// Level labels of the SPL spectrum axis.
std::vector<PanelLabel> spl_axis_labels(float top, float bottom);

}  // namespace ui::tf_plot
