#include "engine/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

namespace engine::gzip {

std::string compress(std::string_view data) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("gzip: deflate init failed");
    gz_header head{};
    head.os = 255;
    deflateSetHeader(&z, &head);
    std::string out;
    out.resize(deflateBound(&z, static_cast<uLong>(std::min<std::size_t>(data.size(), ULONG_MAX))) + 64);
    std::size_t in_done = 0;
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        const std::size_t in_chunk = std::min<std::size_t>(data.size() - in_done, 1u << 30);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + in_done));
        z.avail_in = static_cast<uInt>(in_chunk);
        const bool last = in_done + in_chunk == data.size();
        if (z.total_out + 65536 > out.size()) out.resize(out.size() * 2 + 65536);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + z.total_out);
        z.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size() - z.total_out, 1u << 30));
        rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        if (rc == Z_STREAM_ERROR) {
            deflateEnd(&z);
            throw std::runtime_error("gzip: deflate failed");
        }
        in_done += in_chunk - z.avail_in;
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

base::Result<std::string> inflate(std::string_view head, const Source& src, std::size_t cap) {
    z_stream z{};
    if (inflateInit2(&z, 16 + 15) != Z_OK) return base::fail("out of memory");
    struct End {
        z_stream* z;
        ~End() { inflateEnd(z); }
    } end{&z};
    std::string out;
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
        // proves the content too long.
        if (out.size() > cap) return base::fail("inflates past 512 MB");
        // The buffer grows with what came out so far (doubling), so small
        // files stay cheap and large ones take few passes.
        const std::size_t room =
            std::min<std::size_t>({cap + 1 - out.size(), std::max<std::size_t>(65536, out.size()), 1u << 30});
        const std::size_t before = out.size();
        out.resize(before + room);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        z.avail_in = static_cast<uInt>(input.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data() + before);
        z.avail_out = static_cast<uInt>(room);
        const int rc = ::inflate(&z, Z_NO_FLUSH);
        const std::size_t produced = room - z.avail_out;
        const std::size_t consumed = input.size() - z.avail_in;
        out.resize(before + produced);
        input.remove_prefix(consumed);
        if (out.size() > cap) return base::fail("inflates past 512 MB");
        if (rc == Z_STREAM_END) {
            out.shrink_to_fit();
            return out;
        }
        if (rc == Z_DATA_ERROR) return base::fail(z.msg ? z.msg : "corrupt deflate stream");
        if (rc == Z_MEM_ERROR) return base::fail("out of memory");
        if (rc == Z_NEED_DICT) return base::fail("corrupt deflate stream");
        if (rc == Z_BUF_ERROR || (produced == 0 && consumed == 0)) {
            if (input.empty() && source_done) return base::fail("unexpected end of file");
        }
    }
}

base::Result<std::string> inflate(std::string_view gz, std::size_t cap) { return inflate(gz, Source(), cap); }

}  // namespace engine::gzip

namespace engine::utf8 {

std::optional<std::string> check(std::string_view s) {
    const std::size_t n = s.size();
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    auto invalid = [](std::size_t len, std::size_t at) {
        return fmt::format("invalid utf-8 sequence of {} bytes from index {}", len, at);
    };
    auto incomplete = [](std::size_t at) { return fmt::format("incomplete utf-8 byte sequence from index {}", at); };
    auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = b(i);
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            if (i + 1 >= n) return incomplete(i);
            if (!cont(b(i + 1))) return invalid(1, i);
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (i + 1 >= n) return incomplete(i);
            const unsigned char c1 = b(i + 1);
            const bool ok1 = c == 0xE0 ? (c1 >= 0xA0 && c1 <= 0xBF)
                             : c == 0xED ? (c1 >= 0x80 && c1 <= 0x9F)
                                         : cont(c1);
            if (!ok1) return invalid(1, i);
            if (i + 2 >= n) return incomplete(i);
            if (!cont(b(i + 2))) return invalid(2, i);
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (i + 1 >= n) return incomplete(i);
            const unsigned char c1 = b(i + 1);
            const bool ok1 = c == 0xF0 ? (c1 >= 0x90 && c1 <= 0xBF)
                             : c == 0xF4 ? (c1 >= 0x80 && c1 <= 0x8F)
                                         : cont(c1);
            if (!ok1) return invalid(1, i);
            if (i + 2 >= n) return incomplete(i);
            if (!cont(b(i + 2))) return invalid(2, i);
            if (i + 3 >= n) return incomplete(i);
            if (!cont(b(i + 3))) return invalid(3, i);
            i += 4;
        } else {
            return invalid(1, i);
        }
    }
    return std::nullopt;
}

}  // namespace engine::utf8
