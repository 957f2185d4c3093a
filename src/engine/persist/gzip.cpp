#include "engine/persist/gzip.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <vector>
#include <climits>
#include <span>
#include <utility>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "base/pages.h"
#include "engine/persist/internal/parallel.h"

namespace engine::gzip {

namespace {

// Raw deflate of a run of views at level 1. A run that is not the last
// ends with a sync flush (byte-aligned, not final), so runs compressed apart
// join into one deflate stream. Gives the bytes and the CRC-32 of the input.
std::pair<std::string, uLong> deflate_run(std::span<const std::string_view> views, bool last) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("gzip: deflate init failed");
    std::size_t size = 0;
    for (auto v : views) size += v.size();
    std::string out;
    out.resize(deflateBound(&z, static_cast<uLong>(size)) + 64 + 16 * views.size());
    uLong crc = crc32(0L, Z_NULL, 0);
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    bool ok = true;
    for (std::size_t i = 0; i < views.size() && ok; ++i) {
        const auto v = views[i];
        crc = crc32(crc, reinterpret_cast<const Bytef*>(v.data()), static_cast<uInt>(v.size()));
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(v.data()));
        z.avail_in = static_cast<uInt>(v.size());
        const bool final_view = i + 1 == views.size();
        const int flush = !final_view ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
        const int rc = deflate(&z, flush);
        ok = final_view && last ? rc == Z_STREAM_END : (rc == Z_OK || rc == Z_BUF_ERROR) && z.avail_in == 0;
    }
    if (views.empty()) ok = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH) == (last ? Z_STREAM_END : Z_OK);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (!ok) throw std::runtime_error("gzip: deflate failed");
    return {std::move(out), crc};
}

void put_le32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

std::string compress(std::span<const std::string_view> pieces) {
    // Runs of about 1 MiB are compressed on several threads; a run starts
    // without the dictionary of the one before, which costs a fraction of a
    // percent of size.
    constexpr std::size_t RUN = 1u << 20;
    std::vector<std::string_view> views;
    for (auto p : pieces)
        for (std::size_t at = 0; at < p.size(); at += RUN) views.push_back(p.substr(at, RUN));
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // [begin, end) into views
    std::vector<std::size_t> run_sizes;
    std::size_t begin = 0, size = 0, total = 0;
    for (std::size_t i = 0; i < views.size(); ++i) {
        size += views[i].size();
        total += views[i].size();
        if (size >= RUN || i + 1 == views.size()) {
            runs.emplace_back(begin, i + 1);
            run_sizes.push_back(size);
            begin = i + 1;
            size = 0;
        }
    }
    if (runs.empty()) {
        runs.emplace_back(0, 0);
        run_sizes.push_back(0);
    }
    std::vector<std::pair<std::string, uLong>> parts(runs.size());
    persist::parallel_for(runs.size(), [&](std::size_t i) {
        const auto [b, e] = runs[i];
        parts[i] = deflate_run(std::span<const std::string_view>(views.data() + b, e - b), i + 1 == runs.size());
    });
    uLong crc = parts[0].second;
    for (std::size_t i = 1; i < parts.size(); ++i)
        crc = crc32_combine(crc, parts[i].second, static_cast<z_off_t>(run_sizes[i]));
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\xff", 10);
    std::size_t bytes = out.size() + 8;
    for (const auto& p : parts) bytes += p.first.size();
    out.reserve(bytes);
    for (const auto& p : parts) out += p.first;
    put_le32(out, static_cast<std::uint32_t>(crc));
    put_le32(out, static_cast<std::uint32_t>(total & 0xFFFFFFFFu));
    return out;
}

Piece deflate_piece(std::span<const std::string_view> text, bool last) {
    auto [bytes, crc] = deflate_run(text, last);
    std::uint64_t size = 0;
    for (auto v : text) size += v.size();
    return Piece{std::move(bytes), static_cast<std::uint32_t>(crc), size};
}

Frame frame(std::span<const Piece* const> pieces) {
    Frame f;
    std::memcpy(f.header.data(), "\x1f\x8b\x08\x00\x00\x00\x00\x00\x04\xff", 10);
    uLong crc = crc32(0L, Z_NULL, 0);
    std::uint64_t total = 0;
    for (const Piece* p : pieces) {
        crc = crc32_combine(crc, p->crc, static_cast<z_off_t>(p->size));
        total += p->size;
    }
    const std::uint32_t words[2] = {static_cast<std::uint32_t>(crc), static_cast<std::uint32_t>(total & 0xFFFFFFFFu)};
    for (int w = 0; w < 2; ++w)
        for (int i = 0; i < 4; ++i) f.trailer[4 * w + i] = static_cast<char>((words[w] >> (8 * i)) & 0xFF);
    return f;
}

std::string join(std::span<const Piece* const> pieces) {
    const Frame f = frame(pieces);
    std::size_t bytes = f.header.size() + f.trailer.size();
    for (const Piece* p : pieces) bytes += p->deflated.size();
    std::string out;
    out.reserve(bytes);
    base::pages::prepare(out.data(), out.capacity());
    out.append(f.header.data(), f.header.size());
    for (const Piece* p : pieces) out += p->deflated;
    out.append(f.trailer.data(), f.trailer.size());
    return out;
}

std::string compress(std::string_view data) { return compress(std::span<const std::string_view>(&data, 1)); }

base::Result<std::string> inflate(std::string_view head, const Source& src, std::size_t cap,
                                  std::size_t size_hint) {
    z_stream z{};
    if (inflateInit2(&z, 16 + 15) != Z_OK) return base::fail("out of memory");
    struct End {
        z_stream* z;
        ~End() { inflateEnd(z); }
    } end{&z};
    std::string out;
    // The trailer's length (when known) sizes the buffer once; it is only a
    // hint and never lets the text grow past the cap.
    if (size_hint > 0) out.reserve(std::min(size_hint, cap) + 1);
    std::string chunk(65536, '\0');
    std::string_view input = head;
    bool source_done = false;
    for (;;) {
        if (input.empty() && !source_done) {
            auto n = src ? src(chunk.data(), chunk.size()) : base::Result<std::size_t>(0);
            if (!n) return base::fail(n.error());
            if (*n == 0) source_done = true;
            input = std::string_view(chunk.data(), *n);
        }
        // Room for at most cap + 1 bytes in all: one byte past the cap
        // proves the content too long. The room grows with what came out
        // so far, so small files stay cheap and large ones take few passes.
        const std::size_t before = out.size();
        const std::size_t spare = out.capacity() - before;
        const std::size_t room = std::min<std::size_t>(
            {cap + 1 - before, std::max<std::size_t>({65536, before, spare}), 1u << 30});
        if (out.capacity() < before + room) out.reserve(std::max(before + room, 2 * out.capacity()));
        int rc = Z_OK;
        std::size_t produced = 0, consumed = 0;
        out.resize_and_overwrite(before + room, [&](char* buf, std::size_t) noexcept {
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
            z.avail_in = static_cast<uInt>(input.size());
            z.next_out = reinterpret_cast<Bytef*>(buf + before);
            z.avail_out = static_cast<uInt>(room);
            rc = ::inflate(&z, Z_NO_FLUSH);
            produced = room - z.avail_out;
            consumed = input.size() - z.avail_in;
            return before + produced;
        });
        input.remove_prefix(consumed);
        if (out.size() > cap) return base::fail("inflates past 512 MB");
        if (rc == Z_STREAM_END) return out;
        if (rc == Z_DATA_ERROR) return base::fail(z.msg ? z.msg : "corrupt deflate stream");
        if (rc == Z_MEM_ERROR) return base::fail("out of memory");
        if (rc == Z_NEED_DICT) return base::fail("corrupt deflate stream");
        if (rc == Z_BUF_ERROR || (produced == 0 && consumed == 0)) {
            if (input.empty() && source_done) return base::fail("unexpected end of file");
        }
    }
}

base::Result<std::string> inflate(std::string_view gz, std::size_t cap) {
    const std::size_t hint = size_hint(gz.substr(gz.size() >= 4 ? gz.size() - 4 : 0), gz.size());
    // The whole member at once into a buffer of exactly the trailer's length,
    // by the faster decoder. Anything it does not take as it stands (damage,
    // a length past the cap or not the real one) goes the streaming way,
    // which gives the decoder's own error text.
    if (hint > 0 && hint <= cap) {
        struct Decoder {
            libdeflate_decompressor* d = libdeflate_alloc_decompressor();
            ~Decoder() {
                if (d != nullptr) libdeflate_free_decompressor(d);
            }
        } dec;
        if (dec.d != nullptr) {
            std::string out;
            out.reserve(hint);
            base::pages::prepare(out.data(), hint);
            libdeflate_result rc = LIBDEFLATE_BAD_DATA;
            out.resize_and_overwrite(hint, [&](char* buf, std::size_t n) noexcept {
                std::size_t got = 0;
                rc = libdeflate_gzip_decompress(dec.d, gz.data(), gz.size(), buf, n, &got);
                return rc == LIBDEFLATE_SUCCESS ? got : 0;
            });
            if (rc == LIBDEFLATE_SUCCESS && out.size() == hint) return out;
        }
    }
    return inflate(gz, Source(), cap, hint);
}

std::size_t size_hint(std::string_view last4, std::size_t compressed) {
    if (last4.size() != 4 || compressed < 18) return 0;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(last4[static_cast<std::size_t>(i)]);
    // Deflate expands at most about 1032 to 1: a larger claim is not trusted.
    return std::min<std::size_t>(v, compressed * 1032);
}

}  // namespace engine::gzip
