// Writing the project file's records: traces, setup, target, EQ bands,
// filters, shaping, zones, routes and sources.

#include "engine/persist/trace_file.h"
#include "engine/persist/internal/trace_fields.h"

namespace engine::trace {

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

}  // namespace engine::trace
