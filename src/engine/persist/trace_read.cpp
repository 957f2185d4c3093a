// Reading the project file's records back (the writers' counterparts), older
// names and missing fields included.
#include <algorithm>
#include <utility>

#include "engine/persist/trace_file.h"
#include "engine/persist/internal/trace_fields.h"

namespace engine::trace {

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
            case 7: return store(rd.pair_list(), t.h);
            case 8: return store(rd.f32_list(), t.confidence);
            case 9: return store(rd.f32_list(), t.ir);
            case 10: return store(rd.f32(), t.ir_ms);
            case 11: return store(read_list_of<Arrival>(rd, read_arrival), t.arrivals);
            case 12: return store(read_list_of<Layer>(rd, read_layer), t.layers);
            case 13: return store(rd.f32_list(), t.cal);
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

}  // namespace engine::trace
