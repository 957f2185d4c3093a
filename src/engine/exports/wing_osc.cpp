// The Wing transport: one OSC message with the address "/" and the command as
// its string argument, one UDP datagram to the console, one reply awaited.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "base/utf8.h"
#include "engine/exports/wing.h"

namespace engine::wing {
namespace {

std::string errno_text(int err) { return std::generic_category().message(err); }

// Closes the socket however the send ends.
class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

struct AddrInfo {
    addrinfo* list = nullptr;
    ~AddrInfo() {
        if (list) freeaddrinfo(list);
    }
};

void append_padded(std::vector<std::uint8_t>& out, std::string_view s) {
    out.insert(out.end(), s.begin(), s.end());
    // One terminating zero, then zeros up to a multiple of four.
    out.push_back(0);
    while (out.size() % 4 != 0) out.push_back(0);
}

void append_lossy_utf8(std::string& out, const std::uint8_t* p, std::size_t n) {
    out += base::utf8::lossy(std::string_view(reinterpret_cast<const char*>(p), n));
}

// An OSC string at `pos`: the bytes up to its zero, the position after its
// padding. Nothing when it has no terminating zero.
std::optional<std::pair<std::size_t, std::size_t>> osc_string_at(const std::uint8_t* p, std::size_t n,
                                                                  std::size_t pos) {
    std::size_t end = pos;
    while (end < n && p[end] != 0) ++end;
    if (end >= n) return std::nullopt;
    std::size_t next = (end + 4) & ~std::size_t{3};
    if (next > n) next = n;
    return std::pair{end - pos, next};
}

std::optional<std::uint32_t> be32_at(const std::uint8_t* p, std::size_t n, std::size_t pos) {
    if (pos + 4 > n) return std::nullopt;
    return (std::uint32_t{p[pos]} << 24) | (std::uint32_t{p[pos + 1]} << 16) | (std::uint32_t{p[pos + 2]} << 8) |
           std::uint32_t{p[pos + 3]};
}

// When the datagram is an OSC message: its first string argument (an empty
// text when it has none). Nothing when it is not an OSC message.
std::optional<std::string> osc_first_string(const std::uint8_t* p, std::size_t n) {
    if (n < 4 || p[0] != '/') return std::nullopt;
    auto addr = osc_string_at(p, n, 0);
    if (!addr) return std::nullopt;
    std::size_t pos = addr->second;
    if (pos >= n || p[pos] != ',') return std::nullopt;
    auto tags = osc_string_at(p, n, pos);
    if (!tags) return std::nullopt;
    const std::size_t tag_begin = pos + 1, tag_end = pos + tags->first;
    pos = tags->second;
    for (std::size_t t = tag_begin; t < tag_end; ++t) {
        switch (p[t]) {
            case 's':
            case 'S': {
                auto s = osc_string_at(p, n, pos);
                if (!s) return std::nullopt;
                std::string out;
                append_lossy_utf8(out, p + pos, s->first);
                return out;
            }
            case 'i':
            case 'f':
            case 'c':
            case 'r':
            case 'm':
                pos += 4;
                break;
            case 'h':
            case 't':
            case 'd':
                pos += 8;
                break;
            case 'b': {
                auto len = be32_at(p, n, pos);
                if (!len || *len > n) return std::nullopt;
                pos += 4 + ((std::size_t{*len} + 3) & ~std::size_t{3});
                break;
            }
            case 'T':
            case 'F':
            case 'N':
            case 'I':
            case '[':
            case ']':
                break;
            default:
                return std::nullopt;
        }
        if (pos > n) return std::nullopt;
    }
    return std::string{};
}

bool same_address(const sockaddr_storage& a, const sockaddr_storage& b) {
    if (a.ss_family != b.ss_family) return false;
    if (a.ss_family == AF_INET) {
        const auto& x = reinterpret_cast<const sockaddr_in&>(a);
        const auto& y = reinterpret_cast<const sockaddr_in&>(b);
        return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    if (a.ss_family == AF_INET6) {
        const auto& x = reinterpret_cast<const sockaddr_in6&>(a);
        const auto& y = reinterpret_cast<const sockaddr_in6&>(b);
        return x.sin6_port == y.sin6_port &&
               std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
    }
    return false;
}

}  // namespace

std::vector<std::uint8_t> osc_str(std::string_view text) {
    std::vector<std::uint8_t> out;
    out.reserve(8 + text.size() + 4);
    append_padded(out, "/");
    append_padded(out, ",s");
    append_padded(out, text);
    return out;
}

std::string reply_text(const std::uint8_t* data, std::size_t size) {
    if (auto s = osc_first_string(data, size)) return *s;
    // Not an OSC message: the last non-empty piece between zero bytes.
    std::size_t end = size;
    while (end > 0 && data[end - 1] == 0) --end;
    std::size_t begin = end;
    while (begin > 0 && data[begin - 1] != 0) --begin;
    std::string out;
    append_lossy_utf8(out, data + begin, end - begin);
    return out;
}

base::Result<std::string> send(const std::string& host, std::string_view text) {
    return send_to(host, PORT, text, REPLY_TIMEOUT);
}

base::Result<std::string> send_to(const std::string& host, std::uint16_t port, std::string_view text,
                                  std::chrono::milliseconds timeout) {
    // Resolve first, so that the socket is of the family of the address the
    // command goes to (a name may resolve to an IPv6 address first).
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_NUMERICSERV;
    AddrInfo resolved;
    const std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &resolved.list); rc != 0) {
        const std::string why = rc == EAI_SYSTEM ? errno_text(errno) : std::string(::gai_strerror(rc));
        return base::fail(fmt::format("{}: {}", host, why));
    }
    if (resolved.list == nullptr || resolved.list->ai_addrlen > sizeof(sockaddr_storage)) {
        return base::fail(fmt::format("{}: no address", host));
    }
    sockaddr_storage to{};
    std::memcpy(&to, resolved.list->ai_addr, resolved.list->ai_addrlen);
    const socklen_t to_len = resolved.list->ai_addrlen;
    const int family = resolved.list->ai_family;

    Socket sock(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    if (sock.fd() < 0) return base::fail(errno_text(errno));

    // Any local address of that family, a port chosen by the system.
    sockaddr_storage local{};
    socklen_t local_len = 0;
    if (family == AF_INET6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(local);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        local_len = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(local);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        local_len = sizeof a;
    }
    if (::bind(sock.fd(), reinterpret_cast<const sockaddr*>(&local), local_len) != 0) {
        return base::fail(errno_text(errno));
    }

    const auto message = osc_str(text);
    for (;;) {
        const ssize_t sent = ::sendto(sock.fd(), message.data(), message.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&to), to_len);
        if (sent >= 0) break;
        if (errno == EINTR) continue;
        return base::fail(fmt::format("{}: {}", host, errno_text(errno)));
    }

    std::vector<std::uint8_t> buf(2048, 0);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return base::fail(fmt::format("no reply from {}", host));
        pollfd pfd{sock.fd(), POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return base::fail(errno_text(errno));
        }
        if (ready == 0) continue;  // the loop's top checks the deadline

        sockaddr_storage from{};
        socklen_t from_len = sizeof from;
        const ssize_t got = ::recvfrom(sock.fd(), buf.data(), buf.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &from_len);
        if (got < 0) {
            const int err = errno;
            if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) continue;
            // The console's port was closed (an ICMP port unreachable).
            if (err == ECONNREFUSED || err == ECONNRESET) return base::fail(fmt::format("no reply from {}", host));
            return base::fail(errno_text(err));
        }
        // A datagram from anyone but the console is not its reply.
        if (!same_address(from, to)) continue;
        return reply_text(buf.data(), static_cast<std::size_t>(got));
    }
}

}  // namespace engine::wing
