#pragma once
// What the project file's writers, readers and container share: the limits a
// file is held to, the names of the enumerations as written and read, and the
// list and enumeration helpers. Private to engine_persist.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/persist/trace_file.h"

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

inline void write_f32_list(Writer& w, const std::vector<float>& v) {
    w.begin_list();
    for (float x : v) w.f32(x);
    w.end_list();
}

inline void write_string_list(Writer& w, const std::vector<std::string>& v) {
    w.begin_list();
    for (const auto& x : v) w.string(x);
    w.end_list();
}

inline Parsed<std::vector<std::string>> read_string_list(Reader& r) {
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

template <class T>
Parsed<T> read_enum(Reader& r, std::string_view enum_name, std::span<const std::string_view> names) {
    auto i = r.variant(enum_name, names);
    if (!i) return std::unexpected(i.error());
    return static_cast<T>(*i);
}

}  // namespace

}  // namespace engine::trace
