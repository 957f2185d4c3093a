#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio-watcher/software_host.h"
#include "audio-watcher/tests/pace.h"
#include "ui/device_list.h"

namespace {

using audio_watcher::host::SoftDevice;
using audio_watcher::host::SoftwareHost;
using audio_watcher::test_support::device;
using audio_watcher::test_support::Pace;
using ui::main_window::DeviceLists;

DeviceLists listed() { return {engine::capture::list_devices(true), engine::capture::list_devices(false)}; }

struct DeviceListTest : testing::Test {
    std::shared_ptr<SoftwareHost> host = std::make_shared<SoftwareHost>();
    audio_watcher::host::ScopedHost use{host};
    Pace pace;

    DeviceListTest() {
        host->add_device(device("builtin", "Built-in", 2, 2));
        host->set_default_output("builtin");
    }
};

TEST_F(DeviceListTest, OnePairAtStartAndOneAfterEveryEvent) {
    auto [tx, rx] = base::channel<DeviceLists>();
    std::thread t(
        [tx = std::move(tx), sleep = pace.sleep()]() mutable {
            ui::main_window::device_list_thread(std::move(tx), std::move(sleep));
        });
    const auto first = rx.recv();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, listed());
    ASSERT_EQ(first->first.size(), 1u);
    EXPECT_EQ(first->first[0].first, "Software");

    pace.started();
    pace.poll();  // nothing changed
    // A device that records and plays under one name (one event) and a new
    // default output (one more), found by the same poll.
    host->add_device(device("usb", "USB Interface", 2, 2));
    host->set_default_output("usb");
    pace.poll();
    const DeviceLists after = listed();
    pace.finish();
    t.join();  // the thread ends once the watcher's polling thread has ended

    std::vector<DeviceLists> rest;
    while (auto got = rx.recv()) rest.push_back(std::move(*got));
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0], after);
    EXPECT_EQ(rest[1], after);
    ASSERT_EQ(after.first[0].second.size(), 2u);
    EXPECT_EQ(after.second[0].second[1].id, "software:usb");
}

TEST_F(DeviceListTest, ClosedReceiverDoesNotEndTheThread) {
    auto [tx, rx] = base::channel<DeviceLists>();
    std::thread t(
        [tx = std::move(tx), sleep = pace.sleep()]() mutable {
            ui::main_window::device_list_thread(std::move(tx), std::move(sleep));
        });
    ASSERT_TRUE(rx.recv().has_value());
    rx = base::Receiver<DeviceLists>();
    pace.started();
    host->add_device(device("usb", "USB Interface", 2, 2));
    pace.poll();
    pace.poll();  // the watcher (owned by the thread) still polls
    pace.finish();
    t.join();
}

}  // namespace

// A listing that fails sends nothing (an empty pair would read as every
// device gone); the thread tries again by itself and sends the lists once
// the host answers, without waiting for a device event.
TEST_F(DeviceListTest, FailedListingSendsNothingAndIsTriedAgain) {
    host->fail_enumeration(audio_watcher::host::AudioError{audio_watcher::host::ErrorKind::HostUnavailable,
                                                           "server busy"});
    auto [tx, rx] = base::channel<DeviceLists>();
    std::thread t(
        [tx = std::move(tx), sleep = pace.sleep()]() mutable {
            ui::main_window::device_list_thread(std::move(tx), std::move(sleep));
        });
    pace.started();
    EXPECT_EQ(rx.recv_timeout(std::chrono::milliseconds(1500)).status, base::RecvStatus::Empty);
    host->fail_enumeration(std::nullopt);
    const auto got = rx.recv_timeout(std::chrono::seconds(30));
    ASSERT_TRUE(got);
    EXPECT_EQ(*got.value, listed());
    ASSERT_EQ(got.value->first.size(), 1u);
    EXPECT_FALSE(got.value->first[0].second.empty());
    pace.finish();
    t.join();
}
