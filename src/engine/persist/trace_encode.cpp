// The project file written: the session record encoded and compressed, with
// the cache that renders again only the traces that changed.
#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <type_traits>
#include <utility>

#include "base/pages.h"
#include "base/result.h"
#include "engine/persist/gzip.h"
#include "engine/persist/trace_file.h"
#include "engine/persist/internal/parallel.h"
#include "engine/persist/internal/trace_fields.h"

namespace engine::trace {

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
    base::pages::prepare(out.data(), out.capacity());
    for (auto p : *parts) out += p;
    return out;
}

}  // namespace engine::trace
