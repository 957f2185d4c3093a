// Tasks on the UI loop: scopes, timers on the virtual clock, channels,
// one-shots, the blocking pool.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "reactive/dom.h"
#include "reactive/root.h"

using namespace reactive;
using namespace std::chrono_literals;

namespace {

// Waits (really) until `cond` holds, running the loop meanwhile; for work
// that comes back from other threads.
template <class C>
void run_until(ManualLoop& loop, C cond) {
    for (int i = 0; i < 20000 && !cond(); ++i) {
        loop.run_until_idle();
        if (!cond()) std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(cond());
}

TEST(Tasks, TimersFollowTheVirtualClock) {
    ManualLoop loop;
    Root root(loop, nullptr);
    std::vector<std::string> log;
    spawn_root([](ManualLoop& loop, std::vector<std::string>& log) -> Task<> {
        log.push_back("start");
        co_await sleep(33ms);
        log.push_back("33 at " + std::to_string((loop.now().time_since_epoch()) / 1ms));
        co_await sleep(100ms);
        log.push_back("133 at " + std::to_string((loop.now().time_since_epoch()) / 1ms));
    }(loop, log));
    EXPECT_EQ(log, std::vector<std::string>{"start"});  // ran until its first wait
    loop.advance(32ms);
    EXPECT_EQ(log.size(), 1u);
    loop.advance(1ms);
    EXPECT_EQ(log.size(), 2u);
    loop.advance(1000ms);
    EXPECT_EQ(log, (std::vector<std::string>{"start", "33 at 33", "133 at 133"}));
    EXPECT_EQ(root.tasks().size(), 0u);  // finished tasks leave their scope
}

TEST(Tasks, TimeoutGivesUpOnASlowTask) {
    ManualLoop loop;
    Root root(loop, nullptr);
    std::vector<std::string> log;
    auto slow = [](Duration d) -> Task<int> {
        co_await sleep(d);
        co_return 7;
    };
    spawn_root([](auto slow, std::vector<std::string>& log) -> Task<> {
        auto a = co_await timeout(50ms, slow(10ms));
        log.push_back(a ? std::to_string(*a) : "none");
        auto b = co_await timeout(50ms, slow(500ms));
        log.push_back(b ? std::to_string(*b) : "none");
    }(slow, log));
    loop.advance(1s);
    EXPECT_EQ(log, (std::vector<std::string>{"7", "none"}));
    EXPECT_EQ(loop.pending_timers(), 0u);
}

// A component whose task lives as long as it does.
struct Ticker {
    Signal<bool> show{true};
    int ticks = 0;
    int frames_alive = 0;  // locals of the task's frame
};
Ticker* g_ticker;
struct FrameGuard {
    int* alive;
    explicit FrameGuard(int* a) : alive(a) { ++*alive; }
    ~FrameGuard() { --*alive; }
};
Element ticking() {
    use_hook<int>([] {
        spawn([](Ticker& t) -> Task<> {
            FrameGuard g(&t.frames_alive);
            for (;;) {
                co_await sleep(10ms);
                ++t.ticks;
            }
        }(*g_ticker));
        return 0;
    });
    return span()("tick");
}
Element ticker_host() { return div()(when(g_ticker->show(), [] { return component(ticking); })); }

TEST(Tasks, AComponentsTasksEndWithIt) {
    ManualLoop loop;
    Root root(loop, nullptr);
    Ticker t;
    g_ticker = &t;
    root.mount(component(ticker_host));
    loop.advance(35ms);
    EXPECT_EQ(t.ticks, 3);
    EXPECT_EQ(t.frames_alive, 1);
    t.show.set(false);
    loop.run_until_idle();
    EXPECT_EQ(t.frames_alive, 0);  // the frame was destroyed
    loop.advance(100ms);
    EXPECT_EQ(t.ticks, 3);
    EXPECT_EQ(loop.pending_timers(), 0u);
}

TEST(Tasks, CancelledTaskNeverResumes) {
    ManualLoop loop;
    Root root(loop, nullptr);
    int after = 0;
    TaskHandle h = spawn_root([](int& after) -> Task<> {
        co_await sleep(10ms);
        ++after;
    }(after));
    EXPECT_FALSE(h.finished());
    h.cancel();
    EXPECT_TRUE(h.finished());
    loop.advance(20ms);
    EXPECT_EQ(after, 0);
}

TEST(Tasks, ChannelsCarryValuesFromOtherThreads) {
    ManualLoop loop;
    Root root(loop, nullptr);
    auto [tx, rx] = channel<int>();
    std::vector<int> got;
    bool closed = false;
    spawn_root([](AsyncReceiver<int> rx, std::vector<int>& got, bool& closed) -> Task<> {
        while (auto v = co_await rx.recv()) got.push_back(*v);
        closed = true;
    }(std::move(rx), got, closed));
    std::thread producer([tx = std::move(tx)]() mutable {
        for (int i = 0; i < 100; ++i) tx.send(i);
    });  // the last sender goes with the thread
    producer.join();
    run_until(loop, [&] { return closed; });
    ASSERT_EQ(got.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(got[i], i);
}

TEST(Tasks, SendToADroppedReceiverFails) {
    ManualLoop loop;
    auto [tx, rx] = channel<std::string>();
    EXPECT_TRUE(tx.send("a"));
    { auto gone = std::move(rx); }
    EXPECT_FALSE(tx.send("b"));
    EXPECT_TRUE(tx.is_closed());
}

TEST(Tasks, OneshotSeesADroppedSender) {
    ManualLoop loop;
    Root root(loop, nullptr);
    std::vector<std::string> got;
    auto [tx1, rx1] = oneshot<std::string>();
    auto [tx2, rx2] = oneshot<std::string>();
    spawn_root([](OneshotReceiver<std::string> a, OneshotReceiver<std::string> b,
                  std::vector<std::string>& got) -> Task<> {
        auto x = co_await a;
        got.push_back(x ? *x : "dropped");
        auto y = co_await b;
        got.push_back(y ? *y : "dropped");
    }(std::move(rx1), std::move(rx2), got));
    tx1.send("answer");
    { auto gone = std::move(tx2); }
    loop.run_until_idle();
    EXPECT_EQ(got, (std::vector<std::string>{"answer", "dropped"}));
}

TEST(Tasks, BlockingWorkRunsOffTheLoopAndItsExceptionIsAnError) {
    ManualLoop loop;
    Root root(loop, nullptr);
    std::vector<std::string> got;
    bool done = false;
    auto ui_thread = std::this_thread::get_id();
    spawn_root([](std::vector<std::string>& got, bool& done, std::thread::id ui) -> Task<> {
        auto a = co_await spawn_blocking([ui](int x) {
            if (std::this_thread::get_id() == ui) throw std::runtime_error("ran on the UI thread");
            return x * 2;
        }, 21);
        got.push_back(a ? std::to_string(*a) : a.error());
        auto b = co_await spawn_blocking([]() -> int { throw std::runtime_error("project file unreadable"); });
        got.push_back(b ? "value" : b.error());
        auto c = co_await spawn_blocking([]() -> base::Result<std::string> { return base::fail("not found"); });
        got.push_back(c ? *c : c.error());
        done = true;
    }(got, done, ui_thread));
    run_until(loop, [&] { return done; });
    EXPECT_EQ(got, (std::vector<std::string>{"42", "project file unreadable", "not found"}));
}

TEST(Tasks, NestedTasksReturnValuesAndPassExceptionsUp) {
    ManualLoop loop;
    Root root(loop, nullptr);
    std::string got;
    auto inner = [](bool fail) -> Task<int> {
        co_await sleep(1ms);
        if (fail) throw std::runtime_error("inner failed");
        co_return 5;
    };
    spawn_root([](auto inner, std::string& got) -> Task<> {
        int v = co_await inner(false);
        try {
            co_await inner(true);
        } catch (const std::exception& e) {
            got = std::to_string(v) + " " + e.what();
        }
    }(inner, got));
    loop.advance(5ms);
    EXPECT_EQ(got, "5 inner failed");
}

// Posts from another thread reach the UI thread through the loop.
TEST(Tasks, PostsFromOtherThreadsRunOnTheLoop) {
    ManualLoop loop;
    Root root(loop, nullptr);
    Signal<int> count(0);
    Loop* ui = &loop;
    std::thread t([ui, count] {
        for (int i = 0; i < 10; ++i) ui->post([count] { count.update([](int& n) { ++n; }); });
    });
    t.join();
    EXPECT_EQ(count.peek(), 0);
    loop.run_until_idle();
    EXPECT_EQ(count.peek(), 10);
}

}  // namespace
