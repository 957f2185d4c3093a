#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "base/cast.h"
#include "base/channel.h"
#include "base/float_text.h"
#include "base/log.h"
#include "base/result.h"

using namespace std::chrono_literals;

TEST(SaturatingCast, TruncatesSaturatesAndZeroesNaN) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(base::saturating_cast<int>(2.9), 2);
    EXPECT_EQ(base::saturating_cast<int>(-2.9), -2);
    EXPECT_EQ(base::saturating_cast<int>(std::nan("")), 0);
    EXPECT_EQ(base::saturating_cast<int>(inf), std::numeric_limits<int>::max());
    EXPECT_EQ(base::saturating_cast<int>(-inf), std::numeric_limits<int>::min());
    EXPECT_EQ(base::saturating_cast<std::uint8_t>(300.0f), 255);
    EXPECT_EQ(base::saturating_cast<std::uint8_t>(-1.0f), 0);
    EXPECT_EQ(base::saturating_cast<std::int64_t>(9.3e18), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(base::saturating_cast<std::int64_t>(-9.3e18), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(base::saturating_cast<std::uint64_t>(1.9e19), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(base::saturating_cast<std::int32_t>(2147483647.9), 2147483647);
    EXPECT_EQ(base::saturating_round<int>(2.5), 3);
    EXPECT_EQ(base::saturating_round<int>(-2.5), -3);
}

TEST(FloatText, ShortestForms) {
    struct Case { float v; const char* text; };
    const Case cases[] = {
        {1.0f, "1.0"}, {0.1f, "0.1"}, {-0.0f, "-0.0"}, {100.0f, "100.0"}, {1e10f, "10000000000.0"},
        {std::numeric_limits<float>::infinity(), "inf"}, {-std::numeric_limits<float>::infinity(), "-inf"},
        {std::nanf(""), "NaN"}, {1.5e-7f, "0.00000015"}, {3.4028235e38f, "340282350000000000000000000000000000000.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(base::shortest(c.v), c.text) << c.text;
    float sub = std::numeric_limits<float>::denorm_min();
    EXPECT_EQ(std::strtof(base::shortest(sub).c_str(), nullptr), sub);
    EXPECT_EQ(base::shortest(0.1), "0.1");
    double dsub = std::numeric_limits<double>::denorm_min();
    EXPECT_EQ(std::strtod(base::shortest(dsub).c_str(), nullptr), dsub);
}

TEST(Channel, DeliversInOrderAcrossThreadsAndDetectsClose) {
    auto [tx, rx] = base::channel<int>();
    std::thread t([tx = tx] {
        for (int i = 0; i < 1000; ++i) ASSERT_TRUE(tx.send(i));
    });
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(rx.recv(), i);
    t.join();
    EXPECT_EQ(rx.try_recv().status, base::RecvStatus::Empty);
    { auto gone = std::move(tx); }
    EXPECT_EQ(rx.recv(), std::nullopt);
    EXPECT_EQ(rx.try_recv().status, base::RecvStatus::Closed);
}

TEST(Channel, SendToDroppedReceiverFailsAndQueuedValuesAreKeptUntilRead) {
    auto [tx, rx] = base::channel<std::string>();
    tx.send("a");
    auto tx2 = tx;
    { auto drop = std::move(tx); }
    EXPECT_EQ(rx.recv(), "a");  // one sender still alive
    EXPECT_EQ(rx.recv_timeout(10ms).status, base::RecvStatus::Empty);
    tx2.send("b");
    { auto drop = std::move(tx2); }
    EXPECT_EQ(rx.recv(), "b");  // queued before the last sender went
    EXPECT_EQ(rx.recv(), std::nullopt);

    auto [tx3, rx3] = base::channel<int>();
    { auto drop = std::move(rx3); }
    EXPECT_FALSE(tx3.send(1));
    EXPECT_TRUE(tx3.is_closed());
}

TEST(Oneshot, ValueDroppedSenderAndDroppedReceiver) {
    {
        auto [tx, rx] = base::oneshot<int>();
        std::thread t([tx = std::move(tx)]() mutable { tx.send(7); });
        EXPECT_EQ(rx.recv(), 7);
        t.join();
    }
    {
        auto [tx, rx] = base::oneshot<int>();
        EXPECT_EQ(rx.try_recv().status, base::RecvStatus::Empty);
        { auto drop = std::move(tx); }
        EXPECT_EQ(rx.recv(), std::nullopt);
        EXPECT_EQ(rx.try_recv().status, base::RecvStatus::Closed);
    }
    {
        auto [tx, rx] = base::oneshot<int>();
        { auto drop = std::move(rx); }
        EXPECT_TRUE(tx.is_closed());
        EXPECT_FALSE(tx.send(1));
    }
}

TEST(Log, LineFormAndLevelFilter) {
    base::log::Capture cap;
    std::vector<std::string> lines;
    auto old = base::log::set_sink([&](const base::log::Record&, const std::string& l) { lines.push_back(l); });
    base::log::warn("Veltrum::engine::trace", "autosave: off", {{"path", "/tmp/x"}, {"n", 3}, {"ms", 1.5f}});
    base::log::debug("Veltrum::engine::trace", "not written");
    base::log::set_sink(old);
    ASSERT_EQ(lines.size(), 1u);
    const std::string& l = lines[0];
    // 2026-12-10T22:23:12.123456Z WARN target: message fields
    ASSERT_GE(l.size(), 28u);
    EXPECT_EQ(l[4], '-');
    EXPECT_EQ(l[10], 'T');
    EXPECT_EQ(l[26], 'Z');
    EXPECT_EQ(l.substr(27), " WARN Veltrum::engine::trace: autosave: off path=/tmp/x n=3 ms=1.5");
    ASSERT_EQ(cap.records().size(), 1u);
    EXPECT_EQ(cap.records()[0].field("n"), "3");
}

TEST(Result, CarriesReadableErrors) {
    auto f = [](bool ok) -> base::Result<int> {
        if (!ok) return base::fail("audio device not found");
        return 3;
    };
    EXPECT_EQ(f(true).value(), 3);
    EXPECT_EQ(f(false).error(), "audio device not found");
}
