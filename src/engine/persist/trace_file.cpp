#include "engine/persist/trace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <new>
#include <stdexcept>

#include <fmt/format.h>

#include "api/client.h"
#include "base/cast.h"
#include "base/log.h"
#include "base/utf8.h"
#include "engine/persist/gzip.h"
#include "engine/persist/internal/parallel.h"

namespace engine::trace {

using design::Air;
using design::Dest;
using design::Filter;
using design::FilterKind;
using design::Parts;
using design::QConv;
using design::Route;
using design::Source;
using design::Zone;
using eqfit::Band;
using eqfit::BandKind;
using eqfit::Curve;
using eqfit::Shaping;
using eqfit::ShapingModel;
using notation::discard;
using notation::FieldSpec;
using notation::store;

namespace {

constexpr std::string_view LOG_TARGET = "Veltrum::engine::trace";

// The largest FFT size a file may carry, and the most layers a trace has.
constexpr std::uint64_t MIN_FFT = 256;
constexpr std::uint64_t MAX_FFT = 8388608;
constexpr std::size_t MAX_LAYERS = 4;

constexpr std::string_view FILTER_KINDS_WRITTEN[] = {"Butterworth", "LinkwitzRiley", "GalileoHp", "GalileoLp",
                                                     "GalileoElliptic"};
constexpr std::string_view FILTER_KINDS_READ[] = {"Butterworth", "LinkwitzRiley", "Galileo",
                                                  "GalileoHp",   "GalileoLp",     "GalileoElliptic"};
constexpr FilterKind FILTER_KIND_OF_READ[] = {FilterKind::Butterworth, FilterKind::LinkwitzRiley,
                                              FilterKind::GalileoHp,   FilterKind::GalileoHp,
                                              FilterKind::GalileoLp,   FilterKind::GalileoElliptic};
constexpr std::string_view BAND_KINDS[] = {"Peak", "LowShelf", "HighShelf"};
constexpr std::string_view SHAPING_MODELS[] = {"Galileo", "Callisto"};
constexpr std::string_view Q_CONVS[] = {"Rbj", "Wing", "AllenHeath", "Galileo"};
constexpr std::string_view CURVES_READ[] = {"Flat", "LivePa", "LivePaB"};
constexpr std::string_view DESTS[] = {"Wing"};

template <class E, std::size_t N>
std::string_view name_of(E e, const std::string_view (&names)[N]) {
    const auto i = static_cast<std::size_t>(e);
    return i < N ? names[i] : names[0];
}

void write_f32_list(Writer& w, const std::vector<float>& v) {
    w.begin_list();
    for (float x : v) w.f32(x);
    w.end_list();
}

void write_string_list(Writer& w, const std::vector<std::string>& v) {
    w.begin_list();
    for (const auto& x : v) w.string(x);
    w.end_list();
}

Parsed<std::vector<float>> read_f32_list(Reader& r) {
    std::vector<float> out;
    auto p = r.list([&](Reader& rd) -> Parsed<void> {
        auto v = rd.f32();
        if (!v) return std::unexpected(v.error());
        return rd.push(out, std::move(*v));
    });
    if (!p) return std::unexpected(p.error());
    return out;
}

Parsed<std::vector<std::string>> read_string_list(Reader& r) {
    std::vector<std::string> out;
    auto p = r.list([&](Reader& rd) -> Parsed<void> {
        auto v = rd.string();
        if (!v) return std::unexpected(v.error());
        return rd.push(out, std::move(*v));
    });
    if (!p) return std::unexpected(p.error());
    return out;
}

// Reads a list whose elements come from `read_one`.
template <class T, class F>
Parsed<std::vector<T>> read_list_of(Reader& r, F&& read_one) {
    std::vector<T> out;
    auto p = r.list([&](Reader& rd) -> Parsed<void> {
        auto v = read_one(rd);
        if (!v) return std::unexpected(v.error());
        return rd.push(out, std::move(*v));
    });
    if (!p) return std::unexpected(p.error());
    return out;
}

// (re, im)
Parsed<Complex> read_pair(Reader& r) {
    if (!r.eat('(')) return std::unexpected(r.expected("a pair (re, im)"));
    auto re = r.f32();
    if (!re) return std::unexpected(re.error());
    if (!r.eat(',')) return std::unexpected(r.error("Expected `,` between the two parts of a pair"));
    auto im = r.f32();
    if (!im) return std::unexpected(im.error());
    r.eat(',');
    if (!r.eat(')')) return std::unexpected(r.error("Expected closing `)` of a pair"));
    return Complex(*re, *im);
}

template <class T>
Parsed<T> read_enum(Reader& r, std::string_view enum_name, std::span<const std::string_view> names) {
    auto i = r.variant(enum_name, names);
    if (!i) return std::unexpected(i.error());
    return static_cast<T>(*i);
}

}  // namespace

// ---- writers --------------------------------------------------------------------

void write_h_field(Writer& w, const std::vector<Complex>& h) {
    w.field("h");
    w.begin_list();
    for (const auto& z : h) {
        w.begin_tuple();
        w.f32(z.real());
        w.f32(z.imag());
        w.end_tuple();
    }
    w.end_list();
}

void write_arrivals_field(Writer& w, const std::vector<Arrival>& arrivals) {
    w.field("arrivals");
    w.begin_list();
    for (const auto& a : arrivals) {
        w.begin_record();
        w.field("ms");
        w.f32(a.ms);
        w.field("db");
        w.f32(a.db);
        w.end_record();
    }
    w.end_list();
}

void write_layers_field(Writer& w, const std::vector<Layer>& layers) {
    w.field("layers");
    w.begin_list();
    for (const auto& l : layers) {
        w.begin_record();
        w.field("n");
        w.u64(l.n);
        w.field("scale");
        w.f32(l.scale);
        w.field("ir");
        w.i16_list(l.ir);
        w.end_record();
    }
    w.end_list();
}

void write_trace(Writer& w, const Trace& t) {
    w.begin_record();
    w.field("name");
    w.string(t.name);
    w.field("source");
    w.string(t.source);
    w.field("position");
    w.string(t.position);
    w.field("fs");
    w.u64(t.fs);
    w.field("n");
    w.u64(t.n);
    w.field("delay_samples");
    w.u64(t.delay_samples);
    w.field("gate");
    w.f32(t.gate);
    write_h_field(w, t.h);
    w.field("confidence");
    write_f32_list(w, t.confidence);
    w.field("ir");
    write_f32_list(w, t.ir);
    w.field("ir_ms");
    w.f32(t.ir_ms);
    write_arrivals_field(w, t.arrivals);
    write_layers_field(w, t.layers);
    w.field("cal");
    write_f32_list(w, t.cal);
    w.field("visible");
    w.boolean(t.visible);
    w.field("used");
    w.boolean(t.used);
    w.end_record();
}

void write_target_field(Writer& w, const std::optional<Curve>& target) {
    w.field("target");
    if (!target) {
        w.none();
        return;
    }
    w.begin_some();
    w.name(*target == Curve::Flat ? "Flat" : "LivePa");
    w.end_some();
}

void write_setup_field(Writer& w, const Setup& s) {
    w.field("setup");
    w.begin_record();
    w.field("cycles");
    w.f32(s.cycles);
    w.field("coherence_threshold");
    w.f32(s.coherence_threshold);
    w.field("average_secs");
    w.f32(s.average_secs);
    write_target_field(w, s.target);
    w.field("bass_db");
    w.f32(s.bass_db);
    w.field("mic_cal_path");
    w.string(s.mic_cal_path);
    w.end_record();
}

void write_band_kind_field(Writer& w, BandKind kind) {
    w.field("kind");
    w.name(name_of(kind, BAND_KINDS));
}

void write_band(Writer& w, const Band& b) {
    w.begin_record();
    w.field("hz");
    w.f32(b.hz);
    w.field("gain_db");
    w.f32(b.gain_db);
    w.field("q");
    w.f32(b.q);
    w.field("on");
    w.boolean(b.on);
    write_band_kind_field(w, b.kind);
    w.end_record();
}

void write_band_field(Writer& w, const Band& b) {
    w.field("band");
    write_band(w, b);
}

void write_band_list(Writer& w, const std::vector<Band>& bands) {
    w.field("bands");
    w.begin_list();
    for (const auto& b : bands) write_band(w, b);
    w.end_list();
}

void write_filter_field(Writer& w, std::string_view key, const Filter& f) {
    w.field(key);
    w.begin_record();
    w.field("on");
    w.boolean(f.on);
    w.field("kind");
    w.name(name_of(f.kind, FILTER_KINDS_WRITTEN));
    w.field("slope_db");
    w.u64(f.slope_db);
    w.field("hz");
    w.f32(f.hz);
    w.end_record();
}

void write_shaping_field(Writer& w, const Shaping& s) {
    w.field("shaping");
    w.begin_record();
    w.field("on");
    w.boolean(s.on);
    w.field("model");
    w.name(name_of(s.model, SHAPING_MODELS));
    w.field("gain_db");
    w.begin_tuple();
    for (float g : s.gain_db) w.f32(g);
    w.end_tuple();
    w.field("hz");
    w.begin_tuple();
    for (float h : s.hz) w.f32(h);
    w.end_tuple();
    w.field("slope_db");
    w.begin_tuple();
    for (std::uint8_t d : s.slope_db) w.u64(d);
    w.end_tuple();
    w.end_record();
}

void write_parts_field(Writer& w, std::string_view key, const Parts& p) {
    w.field(key);
    w.begin_record();
    w.field("eq");
    w.boolean(p.eq);
    w.field("zone_eq");
    w.boolean(p.zone_eq);
    w.field("air");
    w.boolean(p.air);
    w.field("hp");
    w.boolean(p.hp);
    w.field("lp");
    w.boolean(p.lp);
    w.field("delay");
    w.boolean(p.delay);
    w.field("polarity");
    w.boolean(p.polarity);
    w.end_record();
}

void write_q_as_field(Writer& w, QConv q) {
    w.field("q_as");
    w.name(name_of(q, Q_CONVS));
}

void write_zone_list(Writer& w, const std::vector<Zone>& zones) {
    w.field("zones");
    w.begin_list();
    for (const auto& z : zones) {
        w.begin_record();
        w.field("position");
        w.string(z.position);
        write_band_list(w, z.bands);
        w.field("peq");
        w.boolean(z.peq);
        w.field("air");
        w.begin_record();
        w.field("on");
        w.boolean(z.air.on);
        w.field("strength_pct");
        w.f32(z.air.strength_pct);
        w.field("distance_m");
        if (z.air.distance_m) {
            w.begin_some();
            w.f32(*z.air.distance_m);
            w.end_some();
        } else {
            w.none();
        }
        write_band_field(w, z.air.band);
        w.end_record();
        w.end_record();
    }
    w.end_list();
}

void write_route_list(Writer& w, const std::vector<Route>& routes) {
    w.field("routes");
    w.begin_list();
    for (const auto& r : routes) {
        w.begin_record();
        w.field("zone");
        w.string(r.zone);
        write_parts_field(w, "parts", r.parts);
        w.field("dest");
        w.begin_variant("Wing");
        w.string(r.dest.target);
        w.end_variant();
        w.end_record();
    }
    w.end_list();
}

void write_source(Writer& w, const Source& s) {
    w.begin_record();
    w.field("name");
    w.string(s.name);
    w.field("gain_db");
    w.f32(s.gain_db);
    w.field("delay_ms");
    w.f32(s.delay_ms);
    w.field("invert");
    w.boolean(s.invert);
    write_filter_field(w, "hp", s.hp);
    write_filter_field(w, "lp", s.lp);
    write_shaping_field(w, s.shaping);
    write_band_list(w, s.bands);
    write_q_as_field(w, s.q_as);
    w.field("shelves");
    w.boolean(s.shelves);
    w.field("peq");
    w.boolean(s.peq);
    write_zone_list(w, s.zones);
    w.field("split_hz");
    w.f32(s.split_hz);
    write_route_list(w, s.routes);
    w.field("reflect_trust");
    w.f32(s.reflect_trust);
    w.field("reflect_shown");
    w.boolean(s.reflect_shown);
    w.end_record();
}

namespace {

// The session record; traces already rendered (in the writer's layout) are
// put in as they are.
void write_session(Writer& w, const Session& s, const std::vector<std::string>* rendered) {
    w.begin_record();
    w.field("sources");
    write_string_list(w, s.sources);
    w.field("traces");
    w.begin_list();
    for (std::size_t i = 0; i < s.traces.size(); ++i) {
        if (rendered) w.raw((*rendered)[i]);
        else write_trace(w, s.traces[i]);
    }
    w.end_list();
    w.field("design");
    w.begin_record();
    w.field("sources");
    w.begin_list();
    for (const auto& src : s.design.sources) write_source(w, src);
    w.end_list();
    w.end_record();
    w.field("position");
    w.string(s.position);
    write_setup_field(w, s.setup);
    w.end_record();
}

}  // namespace

void Session::serialize(Writer& w) const { write_session(w, *this, nullptr); }

// ---- readers --------------------------------------------------------------------

Parsed<Arrival> read_arrival(Reader& r) {
    Arrival a;
    auto p = r.record("Arrival", {{"ms", true}, {"db", true}}, [&](std::size_t i, Reader& rd) -> Parsed<void> {
        return i == 0 ? store(rd.f32(), a.ms) : store(rd.f32(), a.db);
    });
    if (!p) return std::unexpected(p.error());
    return a;
}

Parsed<Layer> read_layer(Reader& r) {
    Layer l;
    auto p = r.record("Layer", {{"n", true}, {"scale", true}, {"ir", true}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          switch (i) {
                              case 0: return store(rd.unsigned_int<std::size_t>(), l.n);
                              case 1: return store(rd.f32(), l.scale);
                              default: return store(rd.i16_list(), l.ir);
                          }
                      });
    if (!p) return std::unexpected(p.error());
    return l;
}

Parsed<Trace> read_trace(Reader& r) {
    Trace t;
    t.position = default_position();
    static constexpr FieldSpec fields[] = {
        {"name"},     {"source"}, {"position"},         {"fs", true},     {"n"},      {"delay_samples"},
        {"gate"},     {"h", true}, {"confidence", true}, {"ir"},          {"ir_ms"},  {"arrivals"},
        {"layers"},   {"cal"},    {"visible"},          {"used"},
    };
    auto p = r.record("Trace", fields, [&](std::size_t i, Reader& rd) -> Parsed<void> {
        switch (i) {
            case 0: return store(rd.string(), t.name);
            case 1: return store(rd.string(), t.source);
            case 2: return store(rd.string(), t.position);
            case 3: return store(rd.unsigned_int<std::uint32_t>(), t.fs);
            case 4: return store(rd.unsigned_int<std::size_t>(), t.n);
            case 5: return store(rd.unsigned_int<std::size_t>(), t.delay_samples);
            case 6: return store(rd.f32(), t.gate);
            case 7: return store(read_list_of<Complex>(rd, read_pair), t.h);
            case 8: return store(read_f32_list(rd), t.confidence);
            case 9: return store(read_f32_list(rd), t.ir);
            case 10: return store(rd.f32(), t.ir_ms);
            case 11: return store(read_list_of<Arrival>(rd, read_arrival), t.arrivals);
            case 12: return store(read_list_of<Layer>(rd, read_layer), t.layers);
            case 13: return store(read_f32_list(rd), t.cal);
            case 14: return store(rd.boolean(), t.visible);
            default: return store(rd.boolean(), t.used);
        }
    });
    if (!p) return std::unexpected(p.error());
    return t;
}

Parsed<std::optional<Curve>> read_target(Reader& r) {
    auto some = r.begin_optional();
    if (!some) return std::unexpected(some.error());
    if (!*some) return std::optional<Curve>();
    auto i = r.variant("Curve", CURVES_READ);
    if (!i) return std::unexpected(i.error());
    if (auto e = r.end_some(); !e) return std::unexpected(e.error());
    return std::optional<Curve>(*i == 0 ? Curve::Flat : Curve::LivePa);
}

Parsed<Setup> read_setup(Reader& r) {
    Setup s;  // absent fields keep the defaults
    auto p = r.record("Setup",
                      {{"cycles"}, {"coherence_threshold"}, {"average_secs"}, {"target"}, {"bass_db"},
                       {"mic_cal_path"}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          switch (i) {
                              case 0: return store(rd.f32(), s.cycles);
                              case 1: return store(rd.f32(), s.coherence_threshold);
                              case 2: return store(rd.f32(), s.average_secs);
                              case 3: return store(read_target(rd), s.target);
                              case 4: return store(rd.f32(), s.bass_db);
                              default: return store(rd.string(), s.mic_cal_path);
                          }
                      });
    if (!p) return std::unexpected(p.error());
    return s;
}

Parsed<Band> read_band(Reader& r) {
    Band b;
    b.on = true;
    b.kind = BandKind::Peak;
    auto p = r.record("Band", {{"hz", true}, {"gain_db", true}, {"q", true}, {"on"}, {"kind"}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          switch (i) {
                              case 0: return store(rd.f32(), b.hz);
                              case 1: return store(rd.f32(), b.gain_db);
                              case 2: return store(rd.f32(), b.q);
                              case 3: return store(rd.boolean(), b.on);
                              default: return store(read_enum<BandKind>(rd, "BandKind", BAND_KINDS), b.kind);
                          }
                      });
    if (!p) return std::unexpected(p.error());
    return b;
}

Parsed<std::vector<Band>> read_band_list(Reader& r) { return read_list_of<Band>(r, read_band); }

Parsed<Filter> read_filter(Reader& r) {
    Filter f;
    auto p = r.record("Filter", {{"on", true}, {"kind", true}, {"slope_db", true}, {"hz", true}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          switch (i) {
                              case 0: return store(rd.boolean(), f.on);
                              case 1: {
                                  auto k = rd.variant("FilterKind", FILTER_KINDS_READ);
                                  if (!k) return std::unexpected(k.error());
                                  f.kind = FILTER_KIND_OF_READ[*k];
                                  return {};
                              }
                              case 2: return store(rd.unsigned_int<std::uint8_t>(), f.slope_db);
                              default: return store(rd.f32(), f.hz);
                          }
                      });
    if (!p) return std::unexpected(p.error());
    return f;
}

Parsed<Parts> read_parts(Reader& r) {
    Parts parts;  // zone_eq and air default to true
    auto p = r.record("Parts",
                      {{"eq", true}, {"zone_eq"}, {"air"}, {"hp", true}, {"lp", true}, {"delay", true},
                       {"polarity", true}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          bool* slots[] = {&parts.eq, &parts.zone_eq, &parts.air,     &parts.hp,
                                           &parts.lp, &parts.delay,   &parts.polarity};
                          return store(rd.boolean(), *slots[i]);
                      });
    if (!p) return std::unexpected(p.error());
    return parts;
}

namespace {

template <class T, class F>
Parsed<std::vector<T>> read_nums(Reader& r, F&& read_one) {
    r.skip_ws();
    if (!r.peek('[') && !r.peek('(')) return std::unexpected(r.expected("a list of numbers"));
    std::vector<T> out;
    auto p = r.list_or_tuple(
        [&](Reader& rd) -> Parsed<void> {
            auto v = read_one(rd);
            if (!v) return std::unexpected(v.error());
            return rd.push(out, T(*v));
        },
        "a list of numbers");
    if (!p) return std::unexpected(p.error());
    return out;
}

}  // namespace

Parsed<std::vector<float>> read_nums_f32(Reader& r) {
    return read_nums<float>(r, [](Reader& rd) { return rd.f32(); });
}

Parsed<std::vector<std::uint8_t>> read_nums_u8(Reader& r) {
    return read_nums<std::uint8_t>(r, [](Reader& rd) { return rd.unsigned_int<std::uint8_t>(); });
}

Parsed<Shaping> read_shaping(Reader& r) {
    bool on = false;
    ShapingModel model = ShapingModel::Galileo;
    std::vector<float> gains, knees;
    std::vector<std::uint8_t> slopes;
    auto p = r.record("ShapingFile", {{"on", true}, {"model"}, {"gain_db", true}, {"hz", true}, {"slope_db"}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          switch (i) {
                              case 0: return store(rd.boolean(), on);
                              case 1:
                                  return store(read_enum<ShapingModel>(rd, "ShapingModel", SHAPING_MODELS), model);
                              case 2: return store(read_nums_f32(rd), gains);
                              case 3: return store(read_nums_f32(rd), knees);
                              default: return store(read_nums_u8(rd), slopes);
                          }
                      });
    if (!p) return std::unexpected(p.error());
    Shaping s = Shaping::defaults(model);
    for (std::size_t i = 0; i < std::min(gains.size(), s.gain_db.size()); ++i) s.gain_db[i] = gains[i];
    for (std::size_t i = 0; i < std::min(knees.size(), s.hz.size()); ++i) s.hz[i] = knees[i];
    for (std::size_t i = 0; i < std::min(slopes.size(), s.slope_db.size()); ++i) s.slope_db[i] = slopes[i];
    s.on = on;
    s.model = model;
    return s;
}

namespace {

Parsed<std::optional<float>> read_optional_f32(Reader& r) {
    auto some = r.begin_optional();
    if (!some) return std::unexpected(some.error());
    if (!*some) return std::optional<float>();
    auto v = r.f32();
    if (!v) return std::unexpected(v.error());
    if (auto e = r.end_some(); !e) return std::unexpected(e.error());
    return std::optional<float>(*v);
}

Parsed<Air> read_air(Reader& r) {
    Air a;
    auto p = r.record("Air", {{"on", true}, {"strength_pct", true}, {"distance_m"}, {"band", true}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          switch (i) {
                              case 0: return store(rd.boolean(), a.on);
                              case 1: return store(rd.f32(), a.strength_pct);
                              case 2: return store(read_optional_f32(rd), a.distance_m);
                              default: return store(read_band(rd), a.band);
                          }
                      });
    if (!p) return std::unexpected(p.error());
    return a;
}

// The default compensation of a zone read without `air`.
Air default_air() {
    Air a;
    a.on = false;
    a.strength_pct = 100.0f;
    a.distance_m.reset();
    a.band = Band{8000.0f, 0.0f, 0.7f, false, BandKind::Peak};
    return a;
}

Parsed<Zone> read_zone(Reader& r) {
    Zone z;
    z.peq = true;
    z.air = default_air();
    auto p = r.record("Zone", {{"position", true}, {"bands", true}, {"peq"}, {"air"}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          switch (i) {
                              case 0: return store(rd.string(), z.position);
                              case 1: return store(read_band_list(rd), z.bands);
                              case 2: return store(rd.boolean(), z.peq);
                              default: return store(read_air(rd), z.air);
                          }
                      });
    if (!p) return std::unexpected(p.error());
    return z;
}

Parsed<Dest> read_dest(Reader& r) {
    auto i = r.variant("Dest", DESTS);
    if (!i) return std::unexpected(i.error());
    if (!r.eat('(')) return std::unexpected(r.error("Expected opening `(` after `Wing`"));
    auto target = r.string();
    if (!target) return std::unexpected(target.error());
    if (!r.eat(')')) return std::unexpected(r.error("Expected closing `)`"));
    return Dest::wing(std::move(*target));
}

Parsed<Route> read_route(Reader& r) {
    Route route;
    auto p = r.record("Route", {{"zone", true}, {"parts", true}, {"dest", true}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          switch (i) {
                              case 0: return store(rd.string(), route.zone);
                              case 1: return store(read_parts(rd), route.parts);
                              default: return store(read_dest(rd), route.dest);
                          }
                      });
    if (!p) return std::unexpected(p.error());
    return route;
}

}  // namespace

Parsed<Source> read_source(Reader& r) {
    Source s;
    s.shaping = Shaping::defaults(ShapingModel::Galileo);
    s.bands.clear();
    s.q_as = QConv::Rbj;
    s.shelves = true;
    s.peq = true;
    s.zones.clear();
    s.split_hz = 1000.0f;
    s.routes.clear();
    s.reflect_trust = 1.0f;
    s.reflect_shown = true;
    static constexpr FieldSpec fields[] = {
        {"name", true}, {"gain_db", true}, {"delay_ms", true}, {"invert", true}, {"hp", true}, {"lp", true},
        {"shaping"},    {"bands"},         {"q_as"},           {"shelves"},      {"peq"},      {"zones"},
        {"split_hz"},   {"routes"},        {"reflect_trust"},  {"reflect_shown"},
    };
    auto p = r.record("Source", fields, [&](std::size_t i, Reader& rd) -> Parsed<void> {
        switch (i) {
            case 0: return store(rd.string(), s.name);
            case 1: return store(rd.f32(), s.gain_db);
            case 2: return store(rd.f32(), s.delay_ms);
            case 3: return store(rd.boolean(), s.invert);
            case 4: return store(read_filter(rd), s.hp);
            case 5: return store(read_filter(rd), s.lp);
            case 6: return store(read_shaping(rd), s.shaping);
            case 7: return store(read_band_list(rd), s.bands);
            case 8: return store(read_enum<QConv>(rd, "QConv", Q_CONVS), s.q_as);
            case 9: return store(rd.boolean(), s.shelves);
            case 10: return store(rd.boolean(), s.peq);
            case 11: return store(read_list_of<Zone>(rd, read_zone), s.zones);
            case 12: return store(rd.f32(), s.split_hz);
            case 13: return store(read_list_of<Route>(rd, read_route), s.routes);
            case 14: return store(rd.f32(), s.reflect_trust);
            default: return store(rd.boolean(), s.reflect_shown);
        }
    });
    if (!p) return std::unexpected(p.error());
    return s;
}

Parsed<design::Design> read_design(Reader& r) {
    design::Design d;
    auto p = r.record("Design", {{"sources", true}}, [&](std::size_t, Reader& rd) -> Parsed<void> {
        return store(read_list_of<Source>(rd, read_source), d.sources);
    });
    if (!p) return std::unexpected(p.error());
    return d;
}

Parsed<Session> Session::deserialize(Reader& r) {
    Session s;
    auto p = r.record("Session", {{"sources"}, {"traces"}, {"design"}, {"position"}, {"setup"}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          switch (i) {
                              case 0: return store(read_string_list(rd), s.sources);
                              case 1: return store(read_list_of<Trace>(rd, read_trace), s.traces);
                              case 2: return store(read_design(rd), s.design);
                              case 3: return store(rd.string(), s.position);
                              default: return store(read_setup(rd), s.setup);
                          }
                      });
    if (!p) return std::unexpected(p.error());
    return s;
}

// ---- container ------------------------------------------------------------------

namespace {

// A size guess for the text of a trace, so that it is rendered without
// growing its buffer.
std::size_t text_size_guess(const Trace& t) {
    std::size_t n = 512 + t.name.size() + t.source.size() + t.position.size();
    n += 26 * t.h.size() + 13 * (t.confidence.size() + t.ir.size() + t.cal.size()) + 30 * t.arrivals.size();
    for (const auto& l : t.layers) n += 48 + 7 * l.ir.size();
    return n;
}

}  // namespace

struct EncodeCache::Impl {
    struct Entry {
        Trace trace;         // what is written of it (the derived data left out)
        bool comma = false;  // the piece starts with the "," before the trace
        gzip::Piece piece;
    };
    std::vector<Entry> entries;
    // The rest of the last encoding: the text before and after the traces,
    // and the gzip header and trailer around it all.
    gzip::Piece head;
    gzip::Piece tail;
    gzip::Frame frame;
};

namespace {
base::Result<std::string> encode_session(const Session& self);
base::Result<void> encode_cached(const Session& self, EncodeCache::Impl& cache);
}

base::Result<std::string> Session::encode() const {
    // Out of memory (or a thread that cannot start its share) is a failure
    // of this encoding, reported like any other.
    try {
        return encode_session(*this);
    } catch (const std::exception& e) {
        return base::fail(e.what());
    }
}

namespace {

// The text before the traces' elements (up to the list's "[") and after
// them (from its "]").
base::Result<void> session_ends(const Session& self, std::string& head, std::string& tail) {
    {
        Writer w(head);
        w.begin_record();
        w.field("sources");
        write_string_list(w, self.sources);
        w.field("traces");
        if (!w.ok()) return base::fail(w.result().error());
        head += '[';
    }
    tail = "],";
    std::string rest;
    Writer w(rest);
    w.begin_record();
    w.field("design");
    w.begin_record();
    w.field("sources");
    w.begin_list();
    for (const auto& src : self.design.sources) write_source(w, src);
    w.end_list();
    w.end_record();
    w.field("position");
    w.string(self.position);
    write_setup_field(w, self.setup);
    w.end_record();
    if (auto ok = w.result(); !ok) return base::fail(ok.error());
    tail.append(rest, 1);  // without the record's own "("
    return {};
}

// The text of each trace, rendered on several threads.
base::Result<std::vector<std::string>> render_traces(const std::vector<Trace>& traces) {
    std::vector<std::string> rendered(traces.size());
    std::vector<std::string> errors(traces.size());
    persist::parallel_for(traces.size(), [&](std::size_t i) {
        rendered[i].reserve(text_size_guess(traces[i]));
        Writer tw(rendered[i]);
        write_trace(tw, traces[i]);
        if (auto ok = tw.result(); !ok) errors[i] = ok.error();
    });
    for (const auto& e : errors)
        if (!e.empty()) return base::fail(e);
    return rendered;
}

base::Result<std::string> encode_session(const Session& self) {
    // The traces (nearly all of the text) are rendered on several threads
    // and compressed as they are, between the head and the tail of the
    // session record; the result is the gzip of serialize()'s text.
    auto rendered = render_traces(self.traces);
    if (!rendered) return base::fail(rendered.error());
    std::string head, tail;
    if (auto ok = session_ends(self, head, tail); !ok) return base::fail(ok.error());
    std::vector<std::string_view> pieces;
    pieces.reserve(2 * self.traces.size() + 2);
    pieces.push_back(head);
    for (std::size_t i = 0; i < rendered->size(); ++i) {
        if (i) pieces.push_back(",");
        pieces.push_back((*rendered)[i]);
    }
    pieces.push_back(tail);
    return gzip::compress(pieces);
}

// Equal bit for bit in everything the file holds of a trace (so their text
// is the same); the derived data are not compared.
template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    static_assert(std::is_arithmetic_v<T>);  // no padding bytes
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}
bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }
bool same_bits(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)) == 0);
}
bool same_bits(const std::vector<Arrival>& a, const std::vector<Arrival>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Arrival& x, const Arrival& y) {
        return same_bits(x.ms, y.ms) && same_bits(x.db, y.db);
    });
}
bool same_bits(const std::vector<Layer>& a, const std::vector<Layer>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Layer& x, const Layer& y) {
        return x.n == y.n && same_bits(x.scale, y.scale) && same_bits(x.ir, y.ir);
    });
}
bool same_written(const Trace& a, const Trace& b) {
    // The small fields first: a changed trace is told apart before its
    // sample lists are read.
    return a.name == b.name && a.source == b.source && a.position == b.position && a.fs == b.fs && a.n == b.n &&
           a.delay_samples == b.delay_samples && same_bits(a.gate, b.gate) && same_bits(a.ir_ms, b.ir_ms) &&
           a.visible == b.visible && a.used == b.used && same_bits(a.h, b.h) &&
           same_bits(a.confidence, b.confidence) && same_bits(a.arrivals, b.arrivals) && same_bits(a.cal, b.cal) &&
           same_bits(a.ir, b.ir) && same_bits(a.layers, b.layers);
}
// A copy of what the file holds of a trace.
Trace written_part(const Trace& t) {
    Trace out;
    out.name = t.name;
    out.source = t.source;
    out.position = t.position;
    out.fs = t.fs;
    out.n = t.n;
    out.delay_samples = t.delay_samples;
    out.gate = t.gate;
    out.h = t.h;
    out.confidence = t.confidence;
    out.ir = t.ir;
    out.ir_ms = t.ir_ms;
    out.arrivals = t.arrivals;
    out.layers = t.layers;
    out.cal = t.cal;
    out.visible = t.visible;
    out.used = t.used;
    return out;
}
// Every field of Trace is either copied and compared above or derived: a
// field added to Trace (which changes its size) must be added to both.
struct TraceFields {
    std::string name, source, position;
    std::uint32_t fs;
    std::size_t n, delay_samples;
    float gate;
    std::vector<Complex> h;
    std::vector<float> confidence, ir;
    float ir_ms;
    std::vector<Arrival> arrivals;
    std::vector<Layer> layers;
    std::vector<float> cal;
    bool visible, used;
    std::vector<Complex> windowed;
    std::vector<Point> points;
};
static_assert(sizeof(Trace) == sizeof(TraceFields), "copy and compare the new field of Trace here");

base::Result<void> encode_cached(const Session& self, EncodeCache::Impl& cache) {
    const std::vector<Trace>& traces = self.traces;
    constexpr std::size_t NONE = static_cast<std::size_t>(-1);
    // The cached piece of each trace: an entry of the same name, the same
    // place in the list (first or after a comma) and the same written data.
    std::unordered_multimap<std::string_view, std::size_t> by_name;
    by_name.reserve(cache.entries.size());
    for (std::size_t j = 0; j < cache.entries.size(); ++j) by_name.emplace(cache.entries[j].trace.name, j);
    std::vector<std::size_t> from(traces.size(), NONE);
    std::vector<bool> taken(cache.entries.size(), false);
    std::vector<std::size_t> fresh_at;  // the traces to render and compress
    for (std::size_t i = 0; i < traces.size(); ++i) {
        const auto [b, e] = by_name.equal_range(traces[i].name);
        for (auto it = b; it != e; ++it) {
            const auto& entry = cache.entries[it->second];
            if (!taken[it->second] && entry.comma == (i > 0) && same_written(entry.trace, traces[i])) {
                from[i] = it->second;
                taken[it->second] = true;
                break;
            }
        }
        if (from[i] == NONE) fresh_at.push_back(i);
    }

    // Each new piece is rendered and compressed by one thread; one changed
    // trace (an edit) is done here, without starting any.
    std::vector<gzip::Piece> fresh(fresh_at.size());
    std::vector<std::string> errors(fresh_at.size());
    persist::parallel_for(fresh_at.size(), [&](std::size_t k) {
        const std::size_t i = fresh_at[k];
        std::string text;
        text.reserve(text_size_guess(traces[i]) + 1);
        if (i > 0) text += ',';
        Writer tw(text);
        write_trace(tw, traces[i]);
        if (auto ok = tw.result(); !ok) {
            errors[k] = ok.error();
            return;
        }
        const std::string_view v = text;
        fresh[k] = gzip::deflate_piece(std::span<const std::string_view>(&v, 1), false);
    });
    for (const auto& e : errors)
        if (!e.empty()) return base::fail(e);
    std::string head, tail;
    if (auto ok = session_ends(self, head, tail); !ok) return base::fail(ok.error());
    const std::string_view head_view = head, tail_view = tail;
    gzip::Piece head_piece = gzip::deflate_piece(std::span<const std::string_view>(&head_view, 1), false);
    gzip::Piece tail_piece = gzip::deflate_piece(std::span<const std::string_view>(&tail_view, 1), true);

    std::vector<EncodeCache::Impl::Entry> next;
    next.reserve(traces.size());
    for (std::size_t i = 0, k = 0; i < traces.size(); ++i) {
        if (from[i] != NONE) {
            next.push_back(std::move(cache.entries[from[i]]));
        } else {
            next.push_back(EncodeCache::Impl::Entry{written_part(traces[i]), i > 0, std::move(fresh[k++])});
        }
    }
    std::vector<const gzip::Piece*> order;
    order.reserve(traces.size() + 2);
    order.push_back(&head_piece);
    for (const auto& e : next) order.push_back(&e.piece);
    order.push_back(&tail_piece);
    cache.frame = gzip::frame(order);
    cache.entries = std::move(next);
    cache.head = std::move(head_piece);
    cache.tail = std::move(tail_piece);
    return {};
}

// The file bytes of the cache's last encoding, as views of its pieces.
std::vector<std::string_view> cached_file(const EncodeCache::Impl& cache) {
    std::vector<std::string_view> parts;
    parts.reserve(cache.entries.size() + 4);
    parts.emplace_back(cache.frame.header.data(), cache.frame.header.size());
    parts.emplace_back(cache.head.deflated);
    for (const auto& e : cache.entries) parts.emplace_back(e.piece.deflated);
    parts.emplace_back(cache.tail.deflated);
    parts.emplace_back(cache.frame.trailer.data(), cache.frame.trailer.size());
    return parts;
}

}  // namespace

EncodeCache::EncodeCache() : impl_(std::make_unique<Impl>()) {}
EncodeCache::~EncodeCache() = default;
std::size_t EncodeCache::size() const { return impl_->entries.size(); }

base::Result<std::vector<std::string_view>> Session::encode_parts(EncodeCache& cache) const {
    try {
        if (auto ok = encode_cached(*this, *cache.impl_); !ok) {
            cache.impl_->entries.clear();
            return base::fail(ok.error());
        }
        return cached_file(*cache.impl_);
    } catch (const std::exception& e) {
        // The cache may hold moved-from entries now: start it afresh.
        cache.impl_->entries.clear();
        return base::fail(e.what());
    }
}

base::Result<std::string> Session::encode(EncodeCache& cache) const {
    auto parts = encode_parts(cache);
    if (!parts) return base::fail(parts.error());
    std::size_t size = 0;
    for (auto p : *parts) size += p.size();
    std::string out;
    out.reserve(size);
    gzip::prepare_pages(out.data(), out.capacity());
    for (auto p : *parts) out += p;
    return out;
}

namespace {

// Checks one trace against the limits of the measurement model.
std::optional<std::string> check_trace(const Trace& t) {
    if (t.fs < 1 || t.fs > 1000000) return fmt::format("sample rate {}", t.fs);
    // P: the samples in 1 ms, as the layers count them.
    const auto p = base::saturating_cast<std::uint64_t>(static_cast<float>(t.fs) * 0.001f);
    auto fft_ok = [&](std::uint64_t n) { return n >= MIN_FFT && n <= MAX_FFT && n / 2 > p; };
    if (t.n != 0 && !fft_ok(t.n)) return fmt::format("FFT size {}", t.n);
    const std::size_t expected = t.n == 0 ? tf::GRID_POINTS : t.n / 2;
    if (t.h.size() != expected || t.confidence.size() != expected)
        return fmt::format("{} values and {} confidences, expected {}", t.h.size(), t.confidence.size(), expected);
    // A layer holds the 1 ms before time zero and the n/2 samples after it:
    // one with fewer samples claims a transform its data do not fill, and
    // rebuilding it would cost work the file does not pay for.
    for (const auto& l : t.layers)
        if (!fft_ok(l.n) || l.ir.size() > l.n || l.ir.size() < l.n / 2)
            return fmt::format("layer of {} with {} samples", l.n, l.ir.size());
    // The analysis takes at most four layers per trace.
    if (t.layers.size() > MAX_LAYERS) return fmt::format("{} layers, at most {}", t.layers.size(), MAX_LAYERS);
    return std::nullopt;
}

// Brings a trace of the older form (n/2 raw bins of one FFT) onto the grid.
void convert_older(Trace& t) {
    LayerBins layer;
    layer.n = t.n;
    layer.bins.resize(t.h.size());
    for (std::size_t k = 0; k < t.h.size(); ++k) layer.bins[k] = {t.h[k].real(), t.h[k].imag(), t.confidence[k]};
    Trace fresh = Trace::from_layers(t.name, t.fs, t.delay_samples, std::span<const LayerBins>(&layer, 1),
                                     std::span<const float>(), t.gate);
    t.h = std::move(fresh.h);
    t.confidence = std::move(fresh.confidence);
    t.ir = std::move(fresh.ir);
    t.ir_ms = fresh.ir_ms;
    t.arrivals = std::move(fresh.arrivals);
    t.layers = std::move(fresh.layers);
    t.n = 0;
}

// The whole of an open file, at most INFLATE_LIMIT bytes ("file larger than
// 512 MB" past it); the buffer is sized from the file's length and its pages
// prepared at once (see gzip::prepare_pages).
base::Result<std::string> read_whole(int fd) {
    constexpr std::size_t cap = gzip::INFLATE_LIMIT;
    struct stat st {};
    std::size_t expect = 0;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) expect = static_cast<std::size_t>(st.st_size);
    std::string out;
    out.reserve(std::min(expect, cap) + 1);
    gzip::prepare_pages(out.data(), out.capacity());
    for (;;) {
        if (out.size() == out.capacity()) out.reserve(std::min(2 * out.capacity(), cap + 1));
        const std::size_t before = out.size();
        const std::size_t room = out.capacity() - before;
        ssize_t got = -1;
        int err = 0;
        out.resize_and_overwrite(before + room, [&](char* buf, std::size_t) noexcept {
            do {
                got = ::read(fd, buf + before, room);
            } while (got < 0 && errno == EINTR);
            err = errno;
            return before + (got > 0 ? static_cast<std::size_t>(got) : 0);
        });
        if (got < 0) return base::fail(api::client::os_error_text(err));
        if (out.size() > cap) return base::fail("file larger than 512 MB");
        if (got == 0) return out;
    }
}

// The text of a file's bytes: inflated when they start with 1F 8B, plain
// otherwise; at most `cap` bytes of text either way; UTF-8 checked.
base::Result<std::string> load_text(std::string_view bytes, std::size_t cap) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1F &&
        static_cast<unsigned char>(bytes[1]) == 0x8B) {
        auto text = gzip::inflate(bytes, cap);
        if (!text) return base::fail("gzip: " + text.error());
        if (base::utf8::check(*text)) return base::fail("gzip: stream did not contain valid UTF-8");
        return text;
    }
    // Plain text obeys the same limit as inflated text.
    if (bytes.size() > cap) return base::fail("file larger than 512 MB");
    std::string text(bytes);
    if (auto bad = base::utf8::check(text)) return base::fail(*bad);
    return text;
}

base::Result<Session> parse_and_finish_text(const std::string& text);

base::Result<Session> parse_and_finish(const std::string& text) {
    // The reader's memory limit bounds what the text may build; running out
    // of memory all the same fails this read, not the program.
    try {
        return parse_and_finish_text(text);
    } catch (const std::bad_alloc&) {
        return base::fail("out of memory");
    } catch (const std::length_error&) {
        return base::fail("out of memory");
    }
}

// Rebuilds traces on worker threads once the whole file has been parsed and
// every trace has passed its check: a file refused anywhere costs no rebuild.
// The traces rebuilt at once hold at most REBUILD_POINTS transform points
// between them (one trace at a time past that), which bounds the memory of
// the transforms whatever the file claims. A trace with a transform larger
// than LARGE_POINTS is rebuilt on the first worker only, as the buffers a
// thread keeps for its transforms stay with it until the pool ends.
class RebuildPool {
public:
    static constexpr std::size_t REBUILD_POINTS = MAX_FFT;
    static constexpr std::size_t LARGE_POINTS = MAX_FFT / 8;

    RebuildPool() {
        const std::size_t hw = std::max(1u, std::thread::hardware_concurrency());
        const std::size_t count = std::min<std::size_t>(7, hw > 1 ? hw - 1 : 1);
        try {
            for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this, i] { work(i == 0); });
        } catch (const std::system_error&) {
            // fewer threads, or none: finish does the work
        }
    }
    ~RebuildPool() {
        try {
            finish(false);
        } catch (...) {
        }
    }
    RebuildPool(const RebuildPool&) = delete;
    RebuildPool& operator=(const RebuildPool&) = delete;

    // `t` and `bad` stay where they are until finish returns. Traces are
    // checked here, in file order: once one fails, the file is refused
    // whatever follows, and nothing is rebuilt.
    void add(Trace* t, std::optional<std::string>* bad) {
        if (refused_) return;
        *bad = check_trace(*t);
        if (*bad) {
            refused_ = true;
            std::lock_guard lk(mu_);
            queue_.clear();
            return;
        }
        std::lock_guard lk(mu_);
        queue_.emplace_back(t);
        if (points(*t) <= LARGE_POINTS) ++small_;
    }

    bool refused() const { return refused_; }

    // Rebuilds every added trace when `rebuild` (the parse succeeded), else
    // drops them; rethrows the first failure of a worker.
    void finish(bool rebuild) {
        {
            std::lock_guard lk(mu_);
            if (!rebuild || refused_) queue_.clear();
            closing_ = true;
        }
        cv_.notify_all();
        if (threads_.empty()) {
            for (Trace* t : queue_) rebuild_trace(*t);
            queue_.clear();
        }
        for (std::thread& t : threads_) t.join();
        threads_.clear();
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    }

private:
    // The transform size the rebuild of a trace works on.
    static std::size_t points(const Trace& t) {
        if (t.n != 0) return t.n;
        return t.layers.empty() ? 0 : t.layers.front().n;
    }

    static void rebuild_trace(Trace& t) {
        if (t.n != 0) convert_older(t);
        t.render_ir();
        t.rebuild_points();
    }

    void work(bool first) {
        for (;;) {
            Trace* item = nullptr;
            std::size_t size = 0;
            {
                std::unique_lock lk(mu_);
                // The first queued trace this worker may rebuild now, or
                // queue_.end().
                auto next = [&] {
                    return std::find_if(queue_.begin(), queue_.end(), [&](const Trace* t) {
                        const std::size_t want = points(*t);
                        if (!first && want > LARGE_POINTS) return false;
                        return busy_ == 0 || busy_ + want <= REBUILD_POINTS;
                    });
                };
                // Other workers end once only large traces are left.
                auto done = [&] { return queue_.empty() || (!first && small_ == 0); };
                cv_.wait(lk, [&] { return closing_ && (done() || next() != queue_.end()); });
                if (done()) return;
                const auto it = next();
                item = *it;
                queue_.erase(it);
                if (points(*item) <= LARGE_POINTS) --small_;
                if (error_) continue;
                size = points(*item);
                busy_ += size;
            }
            try {
                rebuild_trace(*item);
            } catch (...) {
                std::lock_guard lk(mu_);
                if (!error_) error_ = std::current_exception();
            }
            {
                std::lock_guard lk(mu_);
                busy_ -= size;
            }
            cv_.notify_all();
        }
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Trace*> queue_;
    bool closing_ = false;
    bool refused_ = false;  // a trace failed its check (parse thread only)
    std::size_t busy_ = 0;   // transform points of the rebuilds running
    std::size_t small_ = 0;  // queued traces of at most LARGE_POINTS
    std::exception_ptr error_;
    std::vector<std::thread> threads_;
};

// The source list completed in trace order.
void complete_sources(Session& s) {
    for (auto& t : s.traces) {
        if (t.source.empty()) t.source = t.name;
        if (std::find(s.sources.begin(), s.sources.end(), t.source) == s.sources.end())
            s.sources.push_back(t.source);
    }
}

base::Result<Session> parse_and_finish_text(const std::string& text) {
    // Traces parsed so far and their check results: a deque keeps each where
    // it is while the workers rebuild it. Declared before the pool, which
    // joins its workers first.
    std::deque<Trace> traces;
    std::deque<std::optional<std::string>> bad;
    RebuildPool pool;
    Reader r(text);
    Session s;
    auto p = r.record("Session", {{"sources"}, {"traces"}, {"design"}, {"position"}, {"setup"}},
                      [&](std::size_t i, Reader& rd) -> Parsed<void> {
                          switch (i) {
                              case 0: return store(read_string_list(rd), s.sources);
                              case 1:
                                  return rd.list([&](Reader& item) -> Parsed<void> {
                                      auto t = read_trace(item);
                                      if (!t) return std::unexpected(t.error());
                                      if (auto c = item.charge(sizeof(Trace)); !c) return c;
                                      // After a refused trace the rest is only parsed.
                                      if (pool.refused()) return {};
                                      traces.push_back(std::move(*t));
                                      bad.emplace_back();
                                      pool.add(&traces.back(), &bad.back());
                                      return {};
                                  });
                              case 2: return store(read_design(rd), s.design);
                              case 3: return store(rd.string(), s.position);
                              default: return store(read_setup(rd), s.setup);
                          }
                      });
    if (p) {
        if (auto end = r.finish(); !end) p = std::unexpected(end.error());
    }
    pool.finish(p.has_value());
    if (!p) return base::fail(p.error().text());
    for (std::size_t i = 0; i < traces.size(); ++i)
        if (bad[i]) return base::fail(fmt::format("trace \"{}\": {}", base::utf8::excerpt(traces[i].name), *bad[i]));
    s.traces.assign(std::make_move_iterator(traces.begin()), std::make_move_iterator(traces.end()));
    complete_sources(s);
    return s;
}

}  // namespace

base::Result<void> finish_read(Session& s) {
    for (const auto& t : s.traces)
        if (auto bad = check_trace(t))
            return base::fail(fmt::format("trace \"{}\": {}", base::utf8::excerpt(t.name), *bad));
    // The rebuild of each trace (FFTs on the calling thread's own plans) runs
    // on several threads; the source list is completed in trace order.
    persist::parallel_for(s.traces.size(), [&](std::size_t i) {
        Trace& t = s.traces[i];
        if (t.n != 0) convert_older(t);
        t.render_ir();
        t.rebuild_points();
    });
    complete_sources(s);
    return {};
}

base::Result<Session> Session::decode(std::string_view bytes, std::size_t cap) {
    base::Result<std::string> text = base::fail("out of memory");
    try {
        text = load_text(bytes, cap);
    } catch (const std::bad_alloc&) {
    }
    if (!text) return base::fail(text.error());
    return parse_and_finish(*text);
}

base::Result<Session> Session::try_read(const std::filesystem::path& path) {
    // Only a regular file (a link to a device would never end, a FIFO would
    // block the reader), read whole: the inflate then runs in one pass into
    // a buffer of the trailer's length.
    auto opened = api::client::open_regular(path);
    if (!opened) return base::fail(opened.error());
    const int fd = *opened;
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } close_fd{fd};
    base::Result<std::string> bytes = base::fail("out of memory");
    try {
        bytes = read_whole(fd);
    } catch (const std::bad_alloc&) {
    }
    if (!bytes) return base::fail(bytes.error());
    return decode(*bytes);
}

std::optional<Session> Session::read(const std::filesystem::path& path) {
    auto s = try_read(path);
    if (!s) {
        base::log::warn(LOG_TARGET, fmt::format("{}: {}", path.string(), s.error()));
        return std::nullopt;
    }
    return std::move(*s);
}

}  // namespace engine::trace
