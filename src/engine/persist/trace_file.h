#pragma once
// Project files: the `Session` record and the file forms of everything it
// carries (traces with their layers and arrivals, the measurement setup, the
// design with its sources, filters, shaping, bands, zones and routes), and
// the container around the text (gzip level 1; plain text accepted on read).
//
// Writers append to a notation::Writer and write every field, in declared
// order, without type names. Readers take an optional leading type name,
// skip unknown fields, refuse a field given twice, name the first missing
// required field and fill the defaults of the others.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "engine/tuning/design.h"
#include "engine/tuning/eqfit.h"
#include "engine/persist/notation.h"
#include "engine/core/trace.h"

namespace engine::trace {

using notation::Parsed;
using notation::Reader;
using notation::Writer;

// The measurement setup stored with a project.
struct Setup {
    float cycles = 0.0f;
    float coherence_threshold = 0.7f;
    float average_secs = 3.0f;
    std::optional<eqfit::Curve> target = eqfit::Curve::LivePa;
    float bass_db = 6.0f;
    std::string mic_cal_path;

    bool operator==(const Setup&) const = default;
};

// The compressed traces of the last encoding through it, so that the next
// one (an autosave after one edit) renders and compresses only the traces
// that changed. Used by one thread at a time.
class EncodeCache {
public:
    EncodeCache();
    ~EncodeCache();
    EncodeCache(const EncodeCache&) = delete;
    EncodeCache& operator=(const EncodeCache&) = delete;
    // Traces held (those of the last encoding).
    std::size_t size() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    friend struct Session;
};

// The whole of a project, as project and autosave files hold it.
struct Session {
    std::vector<std::string> sources;
    std::vector<Trace> traces;
    design::Design design;
    std::string position;
    Setup setup;

    // The compact text of the record.
    void serialize(Writer& w) const;
    // The record (optional type name "Session", then the parentheses).
    static Parsed<Session> deserialize(Reader& r);

    // The file bytes: the compact text compressed with gzip at level 1.
    base::Result<std::string> encode() const;
    // The same text and format, compressed in one piece per trace: the
    // pieces of traces equal to ones of the cache's last encoding are taken
    // from it, and the cache then holds this encoding's.
    base::Result<std::string> encode(EncodeCache& cache) const;
    // The same bytes in order as views of the cache's pieces (not joined),
    // valid until the cache's next use; for api::client::write_atomic.
    base::Result<std::vector<std::string_view>> encode_parts(EncodeCache& cache) const;
    // Reads a project file (a regular file only: "not a regular file"
    // otherwise): gzip or plain text, at most 512 MB of text, UTF-8, one
    // `Session` building no more than the text can describe ("Exceeded
    // memory limit"); every trace checked (a layer must hold at least the
    // n/2 samples of its transform), older forms converted and the derived
    // data rebuilt; the source list completed. Running out of memory gives
    // "out of memory".
    static base::Result<Session> try_read(const std::filesystem::path& path);
    // try_read, logging "{path}: {error}" and giving nothing on failure.
    static std::optional<Session> read(const std::filesystem::path& path);
    // try_read on file bytes already in memory; `cap` bounds the text.
    static base::Result<Session> decode(std::string_view bytes, std::size_t cap = 536870912);

    bool operator==(const Session&) const = default;
};

// Checks, converts and rebuilds every trace of a freshly parsed session, and
// completes its source list; the error names the first bad trace.
base::Result<void> finish_read(Session& s);

// ---- field writers (each writes the key and the value; the Writer puts the
// separator before it) ------------------------------------------------------

void write_trace(Writer& w, const Trace& t);
void write_setup_field(Writer& w, const Setup& s);
void write_target_field(Writer& w, const std::optional<eqfit::Curve>& target);
void write_h_field(Writer& w, const std::vector<Complex>& h);
void write_arrivals_field(Writer& w, const std::vector<Arrival>& arrivals);
void write_layers_field(Writer& w, const std::vector<Layer>& layers);

void write_source(Writer& w, const design::Source& s);               // Source::serialize
void write_band(Writer& w, const eqfit::Band& b);                     // Band::serialize
void write_filter_field(Writer& w, std::string_view key, const design::Filter& f);
void write_shaping_field(Writer& w, const eqfit::Shaping& s);
void write_band_list(Writer& w, const std::vector<eqfit::Band>& bands);
void write_zone_list(Writer& w, const std::vector<design::Zone>& zones);
void write_route_list(Writer& w, const std::vector<design::Route>& routes);
void write_band_field(Writer& w, const eqfit::Band& b);
void write_band_kind_field(Writer& w, eqfit::BandKind kind);
void write_parts_field(Writer& w, std::string_view key, const design::Parts& p);
void write_q_as_field(Writer& w, design::QConv q);

// ---- readers (each reads one value, with its optional type name) -----------

Parsed<Trace> read_trace(Reader& r);
Parsed<Layer> read_layer(Reader& r);
Parsed<Arrival> read_arrival(Reader& r);
Parsed<Setup> read_setup(Reader& r);
// None, or Some(Flat | LivePa | LivePaB); LivePaB reads as LivePa.
Parsed<std::optional<eqfit::Curve>> read_target(Reader& r);
Parsed<design::Design> read_design(Reader& r);

Parsed<design::Source> read_source(Reader& r);                       // Source::deserialize
Parsed<design::Filter> read_filter(Reader& r);                       // Filter::deserialize
Parsed<eqfit::Band> read_band(Reader& r);                            // Band::deserialize
Parsed<std::vector<eqfit::Band>> read_band_list(Reader& r);
Parsed<design::Parts> read_parts(Reader& r);                         // Parts::deserialize
// A shaping value (read form "ShapingFile") laid over its model's defaults.
Parsed<eqfit::Shaping> read_shaping(Reader& r);
// A list in brackets or a tuple in parentheses of any length; anything else
// fails expecting "a list of numbers".
Parsed<std::vector<float>> read_nums_f32(Reader& r);
Parsed<std::vector<std::uint8_t>> read_nums_u8(Reader& r);

}  // namespace engine::trace
