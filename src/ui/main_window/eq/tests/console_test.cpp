#include <gtest/gtest.h>

#include "shared-ui/icons.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "engine/exports/compass.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/eq/console.h"
#include "ui/main_window/eq/zones.h"
#include "ui/main_window/tests/eq_page.h"

namespace ui::main_window {
namespace {

using engine::design::Dest;
using engine::design::Source;
using engine::design::Parts;
using engine::design::Route;
using engine::eqfit::Band;
using engine::eqfit::BandKind;

// A console on a loopback port: answers every command with "ok {n}".
class FakeConsole {
public:
    FakeConsole() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        peer_ = std::thread([this] { serve(); });
    }
    ~FakeConsole() {
        stop_ = true;
        peer_.join();
        ::close(fd_);
    }
    std::vector<std::string> commands() {
        std::lock_guard lk(mu_);
        return seen_;
    }
    std::uint16_t port = 0;

private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) continue;
            std::vector<std::uint8_t> buf(65536);
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) continue;
            std::size_t count;
            {
                std::lock_guard lk(mu_);
                seen_.push_back(engine::wing::reply_text(buf.data(), static_cast<std::size_t>(n)));
                count = seen_.size();
            }
            const auto reply = engine::wing::osc_str("ok " + std::to_string(count));
            ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<std::string> seen_;
    std::thread peer_;
};

// A loopback port nobody listens on.
std::uint16_t dead_port() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

Source strip(std::string name) {
    auto s = Source::make(std::move(name));
    s.bands[0] = Band{1000.0f, -3.0f, 2.0f, true, BandKind::Peak};
    return s;
}

class Console : public testing::EqWindow {
protected:
    void SetUp() override {
        EqWindow::SetUp();
        s().sources.set({"Main"});
        s().design.set(engine::design::Design{{strip("Main")}});
    }
    const Source& main() { return s().design.peek().sources.at(0); }
    bool wait_notice() {
        return drive([&] { return !s().notice.peek().empty(); });
    }
};

TEST_F(Console, APromptSendReportsTheReplyAndRemembersTheRoute) {
    FakeConsole console;
    ASSERT_NE(console.port, 0);
    s().wing_port = console.port;
    const auto expected = engine::wing::command(main().flat("", Parts{}).first, "bus 1", Parts{});
    ASSERT_TRUE(expected);
    send_prompt_command(s(), {"bus 1"}, "127.0.0.1");
    ASSERT_TRUE(wait_notice());
    std::string warnings;
    for (const auto& w : expected->warnings) warnings += ", " + w;
    EXPECT_EQ(s().notice.peek(), "Wing bus 1: ok 1" + warnings);
    EXPECT_EQ(console.commands(), std::vector<std::string>{expected->text});
    EXPECT_EQ(main().routes, (std::vector<Route>{Route{"", Parts{}, Dest::wing("bus 1")}}));
    EXPECT_EQ(s().settings.peek().wing_ip, "127.0.0.1");
    EXPECT_EQ(s().settings.peek().wing_target, "bus 1");

    // The same target from a zone replaces the route, at the end.
    s().design.update([](auto& d) {
        d.sources[0].routes.push_back(Route{"", Parts{}, Dest::wing("bus 2")});
        d.sources[0].zones = {new_zone("Row 1")};
    });
    s().picked_zone.set(0);
    s().notice.set("");
    send_prompt_command(s(), {"bus 1"}, "127.0.0.1");
    ASSERT_TRUE(wait_notice());
    ASSERT_EQ(main().routes.size(), 2u);
    EXPECT_EQ(main().routes[0].dest.target, "bus 2");
    EXPECT_EQ(main().routes[1], (Route{"Row 1", Parts{}, Dest::wing("bus 1")}));
}

TEST_F(Console, ADeadPortAndANothingSelectedCommand) {
    s().wing_port = dead_port();
    send_prompt_command(s(), {"bus 1"}, "127.0.0.1");
    ASSERT_TRUE(wait_notice());
    EXPECT_EQ(s().notice.peek(), "Wing send failed: no reply from 127.0.0.1");

    s().settings.update([](Settings& st) { st.wing_parts = Parts{false, false, false, false, false, false, false}; });
    s().design.update([](auto& d) { d.sources[0].routes.clear(); });
    send_prompt_command(s(), {"bus 2"}, "127.0.0.1");
    EXPECT_EQ(s().notice.peek(), "nothing selected to send");
    EXPECT_TRUE(main().routes.empty());
}

TEST_F(Console, SendAllInDesignThenRouteOrderSkippingGoneZones) {
    FakeConsole console;
    s().wing_port = console.port;
    s().settings.update([](Settings& st) { st.wing_ip = "127.0.0.1"; });
    const Parts none{false, false, false, false, false, false, false};
    auto a = strip("A"), b = strip("B");
    a.routes = {Route{"", Parts{}, Dest::wing("bus 2")}, Route{"", none, Dest::wing("mtx 1")},
                Route{"", Parts{}, Dest::wing("bus 1")}};
    b.zones = {new_zone("Row 1")};
    b.routes = {Route{"Row 9", Parts{}, Dest::wing("ch 3")}, Route{"Row 1", Parts{}, Dest::wing("main 1")}};
    s().design.set(engine::design::Design{{a, b}});
    send_to_wing(s());
    ASSERT_TRUE(wait_notice());
    EXPECT_EQ(s().notice.peek(),
              "Wing bus 2: ok 1, mtx 1: nothing selected to send, bus 1: ok 2, ch 3: not sent, zone Row 9 of B is "
              "gone, main 1: ok 3");
    EXPECT_EQ(console.commands().size(), 3u);
    const auto cmds = route_commands(s().design.peek().sources);
    ASSERT_EQ(cmds.size(), 5u);
    EXPECT_EQ(console.commands()[2], cmds[4].command->text);
}

TEST(RouteText, Texts) {
    auto src = Source::make("Main");
    src.zones = {new_zone("Row 1")};
    EXPECT_EQ(route_text(Route{"", Parts{}, Dest::wing("bus 1")}, src), "bus 1 \u2190 Main: EQ HP LP Delay Pol");
    EXPECT_EQ(route_text(Route{"Row 1", Parts{}, Dest::wing("bus 2")}, src),
              "bus 2 \u2190 Main Row 1: EQ Zone EQ Air HP LP Delay Pol");
    EXPECT_EQ(route_text(Route{"Row 1", Parts{false, true, false, false, true, false, false}, Dest::wing("ch 1")}, src),
              "ch 1 \u2190 Main Row 1: Zone EQ LP");
    EXPECT_EQ(route_text(Route{"", Parts{false, false, false, false, false, false, false}, Dest::wing("ch 1")}, src),
              "ch 1 \u2190 Main: ");
    EXPECT_EQ(route_text(Route{"Row 2", Parts{}, Dest::wing("bus 3")}, src),
              "bus 3 \u2190 Main Row 2: EQ Zone EQ Air HP LP Delay Pol (zone gone, not sent)");
}

TEST_F(Console, TheCompassFileThroughTheDialog) {
    const auto path = home_ / "main.galileoOutputEqualization";
    panel_answers->push_back(PanelResult{path});
    export_compass_settings(s());
    loop.advance(DIALOG_PAUSE);
    ASSERT_TRUE(wait_notice());
    const auto file = engine::compass::settings_file(main(), "", Parts{});
    ASSERT_TRUE(file);
    EXPECT_EQ(s().notice.peek(), "Saved " + path.string() + engine::compass::notes_text(file->notes));
    const auto written = test_support::slurp(path);
    EXPECT_EQ(std::vector<std::uint8_t>(written.begin(), written.end()), file->bytes);
    ASSERT_EQ(panels->size(), 1u);
    EXPECT_EQ(panels->back(), (FilePanel{.title = "Save Compass setting file",
                                         .suggested_name = "Main.galileoOutputEqualization",
                                         .filter_name = "Compass Settings",
                                         .extensions = {"galileoOutputEqualization"}}));
    // Cancelled: nothing changes.
    s().notice.set("before");
    export_compass_settings(s());
    loop.advance(DIALOG_PAUSE);
    settle();
    EXPECT_EQ(panels->size(), 2u);
    EXPECT_EQ(s().notice.peek(), "before");
}

TEST_F(Console, TheWingPromptOpensOnTheLastTarget) {
    open_send_to_wing(s());
    EXPECT_EQ(s().prompt.peek(), (Prompt{Prompt::SendToWing{"bus 1"}}));
    s().settings.update([](Settings& st) { st.wing_target = "mtx 2"; });
    open_send_to_wing(s());
    EXPECT_EQ(s().prompt.peek(), (Prompt{Prompt::SendToWing{"mtx 2"}}));
}

TEST_F(Console, ExportCard) {
    mount(reactive::component(export_card, "export_card"));
    EXPECT_FALSE(button("Zone EQ"));
    EXPECT_FALSE(button("Send all"));
    click(button("Delay"));
    EXPECT_FALSE(s().settings.peek().wing_parts.delay);
    EXPECT_TRUE(s().settings.peek().wing_parts.hp);
    s().design.update([](auto& d) {
        d.sources[0].zones = {new_zone("Row 1")};
        d.sources[0].routes = {Route{"Row 7", Parts{}, Dest::wing("bus 4")}};
    });
    flush();
    EXPECT_TRUE(button("Zone EQ"));
    EXPECT_TRUE(button("Air"));
    EXPECT_TRUE(button("Send all"));
    EXPECT_NE(html().find("class=\"row vt-route gone\""), std::string::npos);
    EXPECT_NE(html().find("bus 4 \u2190 Main Row 7: EQ Zone EQ Air HP LP Delay Pol (zone gone, not sent)"),
              std::string::npos);
    click(icon_button(shared_ui::icons::DELETE));
    EXPECT_TRUE(main().routes.empty());
    EXPECT_FALSE(button("Send all"));
    EXPECT_TRUE(s().unsaved.peek());
}

// The card lists the routes of every strip, not only the edited one's: what
// Send all sends. Forget takes the route of the row it stands on.
TEST_F(Console, ExportCardListsTheRoutesOfEveryStrip) {
    s().sources.set({"Main", "Sub"});
    s().design.update([](auto& d) {
        d.sources.resize(1);
        d.sources[0].routes = {Route{"", Parts{}, Dest::wing("bus 1")}};
        Source sub = Source::make("Sub");
        sub.routes = {Route{"", Parts{}, Dest::wing("ch 5")}, Route{"", Parts{}, Dest::wing("ch 6")}};
        d.sources.push_back(sub);
    });
    s().current_source_name.set("Main");
    mount(reactive::component(export_card, "export_card"));
    const std::string shown = html();
    const std::size_t a = shown.find("bus 1 \u2190 Main: EQ HP LP Delay Pol");
    const std::size_t b = shown.find("ch 5 \u2190 Sub: EQ HP LP Delay Pol");
    const std::size_t c = shown.find("ch 6 \u2190 Sub: EQ HP LP Delay Pol");
    ASSERT_NE(a, std::string::npos) << shown;
    ASSERT_NE(b, std::string::npos) << shown;
    ASSERT_NE(c, std::string::npos) << shown;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    // One row per route that Send all sends, in the same order.
    const auto cmds = route_commands(s().design.peek().sources);
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0].target, "bus 1");
    EXPECT_EQ(cmds[1].target, "ch 5");
    EXPECT_EQ(cmds[2].target, "ch 6");

    // The second row's button forgets Sub's first route; Main keeps its own.
    std::vector<const reactive::dom::Node*> forget;
    std::function<void(const reactive::dom::Node*)> walk = [&](const reactive::dom::Node* n) {
        if (n->tag == "button")
            for (const auto* ch : n->children) {
                const auto src = ch->attrs.find("src");
                if (src != ch->attrs.end() && src->second == shared_ui::icons::DELETE.url()) forget.push_back(n);
            }
        for (const auto* ch : n->children) walk(ch);
    };
    walk(&doc.root());
    ASSERT_EQ(forget.size(), 3u);
    click(forget[1]);
    EXPECT_EQ(main().routes.size(), 1u);
    const auto& sub = s().design.peek().sources.at(1);
    ASSERT_EQ(sub.routes.size(), 1u);
    EXPECT_EQ(sub.routes[0].dest.target, "ch 6");
    EXPECT_TRUE(s().unsaved.peek());
    ASSERT_FALSE(autosaves.empty());
    EXPECT_EQ(html().find("ch 5 \u2190"), std::string::npos);
}

}  // namespace
}  // namespace ui::main_window
