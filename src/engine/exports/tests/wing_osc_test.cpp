// The Wing transport: OSC bytes, the reply decoder, and real UDP on loopback
// against a fake console, a silent one, a third party and oscdump.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/exports/wing.h"

extern char** environ;

namespace engine::wing {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(OscStr, BytesOfTheMessage) {
    using namespace std::string_literals;
    struct Case {
        std::string text;
        std::string want;
    };
    const Case cases[] = {
        {"", "/\0\0\0,s\0\0\0\0\0\0"s},
        {"abc", "/\0\0\0,s\0\0abc\0"s},
        {"abcd", "/\0\0\0,s\0\0abcd\0\0\0\0"s},
        {"abcde", "/\0\0\0,s\0\0abcde\0\0\0"s},
        {"/ch.5.in.set.inv=1", "/\0\0\0,s\0\0/ch.5.in.set.inv=1\0\0"s},
        {"g\xC3\xA9", "/\0\0\0,s\0\0g\xC3\xA9\0"s},
    };
    for (const auto& c : cases) {
        const auto got = osc_str(c.text);
        EXPECT_EQ(text(got), c.want) << c.text;
        EXPECT_EQ(got.size(), 8 + 4 * (c.text.size() / 4 + 1)) << c.text;
    }
}

TEST(ReplyText, DecodesTheStringArgument) {
    using namespace std::string_literals;
    struct Case {
        std::string datagram;
        std::string want;
    };
    const Case cases[] = {
        // The console's reply: address "/", one string.
        {"/\0\0\0,s\0\0ok\0\0"s, "ok"},
        // An empty argument is the empty text, not the type tag.
        {"/\0\0\0,s\0\0\0\0\0\0"s, ""},
        {"/ch.1\0\0\0,s\0\0/ch.1.eq.on=1\0\0\0"s, "/ch.1.eq.on=1"},
        // Arguments before the string are stepped over.
        {"/\0\0\0,is\0\0\0\0\x07hi\0\0"s, "hi"},
        // A message without a string argument.
        {"/\0\0\0,i\0\0\0\0\0\x07"s, ""},
        // Not OSC: the last non-empty piece between zeros.
        {"abc\0def\0\0\0"s, "def"},
        {"plain"s, "plain"},
        {""s, ""},
        {"\0\0\0\0"s, ""},
        // A string without its terminator is not OSC.
        {"/\0\0\0,s\0\0abcd"s, "abcd"},
        // Invalid UTF-8 becomes U+FFFD, one per maximal bad sequence.
        {"/\0\0\0,s\0\0a\xFF" "b\xE2\x82\0"s, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
        {"x\xC3\xA9\xED\xA0\x80"s, "x\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        const auto b = bytes(c.datagram);
        EXPECT_EQ(reply_text(b.data(), b.size()), c.want);
    }
}

// ---------------------------------------------------------------- loopback

struct Udp {
    int fd = -1;
    std::uint16_t port = 0;
    explicit Udp(int family = AF_INET) {
        fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_storage a{};
        socklen_t len = 0;
        if (family == AF_INET6) {
            auto& s = reinterpret_cast<sockaddr_in6&>(a);
            s.sin6_family = AF_INET6;
            s.sin6_addr = in6addr_loopback;
            len = sizeof s;
        } else {
            auto& s = reinterpret_cast<sockaddr_in&>(a);
            s.sin_family = AF_INET;
            s.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof s;
        }
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0) {
            if (fd >= 0) ::close(fd);
            fd = -1;
            return;
        }
        len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(a).sin6_port
                                        : reinterpret_cast<sockaddr_in&>(a).sin_port);
    }
    ~Udp() {
        if (fd >= 0) ::close(fd);
    }
    Udp(const Udp&) = delete;
    Udp& operator=(const Udp&) = delete;

    // One datagram within 5 s, with its sender.
    std::optional<std::pair<Bytes, sockaddr_storage>> receive() const {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return std::nullopt;
        Bytes buf(4096);
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        buf.resize(static_cast<std::size_t>(n));
        return std::pair{buf, from};
    }
    void send(const Bytes& b, const sockaddr_storage& to) const {
        const socklen_t len = to.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        ::sendto(fd, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to), len);
    }
};

Bytes osc_reply(std::string_view s) {
    using namespace std::string_literals;
    Bytes out = bytes("/\0\0\0,s\0\0"s);
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
    while (out.size() % 4) out.push_back(0);
    return out;
}

TEST(Send, FakeConsoleAnswers) {
    Udp console;
    ASSERT_GE(console.fd, 0);
    const std::string cmd = "/ch.5.eq.on=1,mdl=STD,mix=100";
    Bytes seen;
    std::thread peer([&] {
        auto got = console.receive();
        if (!got) return;
        seen = got->first;
        console.send(osc_reply("/ch.5.eq.on=1"), got->second);
    });
    auto r = send_to("127.0.0.1", console.port, cmd);
    peer.join();
    EXPECT_EQ(seen, osc_str(cmd));
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(*r, "/ch.5.eq.on=1");
}

TEST(Send, EmptyReplyArgumentIsEmptyText) {
    Udp console;
    ASSERT_GE(console.fd, 0);
    std::thread peer([&] {
        if (auto got = console.receive()) console.send(osc_reply(""), got->second);
    });
    auto r = send_to("127.0.0.1", console.port, "/ch.1.in.set.inv=0");
    peer.join();
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(*r, "");
}

TEST(Send, DatagramFromAThirdPartyIsIgnored) {
    Udp console, stranger;
    ASSERT_GE(console.fd, 0);
    ASSERT_GE(stranger.fd, 0);
    std::thread peer([&] {
        auto got = console.receive();
        if (!got) return;
        stranger.send(osc_reply("not the console"), got->second);
        // Let the stranger's datagram arrive first.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        console.send(osc_reply("from the console"), got->second);
    });
    auto r = send_to("127.0.0.1", console.port, "/bus.1.dly.on=0,m=0.00");
    peer.join();
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(*r, "from the console");
}

TEST(Send, SilentConsoleGivesNoReply) {
    Udp console;
    ASSERT_GE(console.fd, 0);
    // The full one-second wait of a real send.
    auto r = send_to("127.0.0.1", console.port, "/ch.1.in.set.inv=1");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "no reply from 127.0.0.1");
    // Whatever arrived was the command.
    auto got = console.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->first, osc_str("/ch.1.in.set.inv=1"));
}

TEST(Send, Ipv6AddressGetsAnIpv6Socket) {
    Udp console(AF_INET6);
    if (console.fd < 0) GTEST_SKIP() << "no IPv6 loopback here";
    std::thread peer([&] {
        if (auto got = console.receive()) console.send(osc_reply("six"), got->second);
    });
    auto r = send_to("::1", console.port, "/main.1.in.set.inv=0");
    peer.join();
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(*r, "six");
}

TEST(Send, UnresolvableHostIsReadable) {
    auto r = send("no-such-console.invalid", "/ch.1.in.set.inv=0");
    ASSERT_FALSE(r.has_value());
    const std::string prefix = "no-such-console.invalid: ";
    ASSERT_GT(r.error().size(), prefix.size()) << r.error();
    EXPECT_EQ(r.error().substr(0, prefix.size()), prefix);
}

// A real OSC receiver reads the message.
TEST(Send, OscdumpReadsTheMessage) {
    const char* oscdump = "/usr/bin/oscdump";
    if (::access(oscdump, X_OK) != 0) GTEST_SKIP() << "oscdump is not installed";
    std::uint16_t port = 0;
    {
        Udp probe;  // a free port, released for oscdump
        ASSERT_GE(probe.fd, 0);
        port = probe.port;
    }
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    const std::string port_text = std::to_string(port);
    char* argv[] = {const_cast<char*>("oscdump"), const_cast<char*>("-L"), const_cast<char*>(port_text.c_str()),
                    nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, oscdump, &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ASSERT_EQ(rc, 0);

    const std::string cmd = "/ch.5.flt.lc=1,lcf=80.000";
    std::string line;
    // oscdump binds its port some time after it starts: send until it prints.
    for (int attempt = 0; attempt < 50 && line.find('\n') == std::string::npos; ++attempt) {
        auto r = send_to("127.0.0.1", port, cmd, std::chrono::milliseconds(100));
        EXPECT_FALSE(r.has_value());  // oscdump does not answer
        pollfd p{out[0], POLLIN, 0};
        while (::poll(&p, 1, 0) == 1) {
            char buf[512];
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            line.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    ::close(out[0]);

    const auto nl = line.find('\n');
    ASSERT_NE(nl, std::string::npos) << "oscdump printed nothing";
    line.resize(nl);
    // "<timestamp> / s \"<text>\""
    const auto sp = line.find(' ');
    ASSERT_NE(sp, std::string::npos) << line;
    EXPECT_EQ(line.substr(sp + 1), "/ s \"" + cmd + "\"");
}

}  // namespace
}  // namespace engine::wing
