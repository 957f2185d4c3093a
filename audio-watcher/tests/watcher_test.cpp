#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "audio-watcher/host_common.h"
#include "audio-watcher/software_host.h"
#include "audio-watcher/tests/pace.h"
#include "audio-watcher/watcher.h"

namespace {

using audio_watcher::AudioDeviceEvent;
using audio_watcher::event::AudioDevice;
using audio_watcher::host::AudioError;
using audio_watcher::host::ErrorKind;
using audio_watcher::host::SoftDevice;
using audio_watcher::host::SoftwareHost;
using E = AudioDeviceEvent;

using audio_watcher::test_support::Pace;

std::vector<AudioDeviceEvent> drain(base::Receiver<AudioDeviceEvent>& rx) {
    std::vector<AudioDeviceEvent> out;
    while (auto got = rx.try_recv()) out.push_back(std::move(*got.value));
    return out;
}

using audio_watcher::test_support::device;

AudioDevice seen(const std::string& id, const std::string& name, std::optional<std::string> extra = std::nullopt) {
    return AudioDevice{"Software:" + id, name, std::move(extra)};
}

class WatcherTest : public testing::Test {
protected:
    WatcherTest() : host_(std::make_shared<SoftwareHost>()) {
        host_->add_device(device("builtin", "Built-in", 2, 2));
        host_->set_default_input("builtin");
        host_->set_default_output("builtin");
    }
    ~WatcherTest() override {
        pace_.finish();
        watcher_.reset();
    }
    void start() {
        auto [tx, rx] = base::channel<AudioDeviceEvent>();
        rx_ = std::move(rx);
        watcher_.emplace(audio_watcher::macos::AudioDeviceWatcher::start(std::move(tx), host_, pace_.sleep()));
        pace_.started();
    }
    std::vector<AudioDeviceEvent> poll() {
        pace_.poll();
        return drain(rx_);
    }

    std::shared_ptr<SoftwareHost> host_;
    Pace pace_;
    base::Receiver<AudioDeviceEvent> rx_;
    std::optional<audio_watcher::macos::AudioDeviceWatcher> watcher_;
};

TEST_F(WatcherTest, NothingForDevicesPresentAtStartOrWhenNothingChanges) {
    start();
    EXPECT_TRUE(drain(rx_).empty());
    EXPECT_TRUE(poll().empty());
}

TEST_F(WatcherTest, DeviceThatRecordsAndPlaysUnderOneNameGivesOneEventEachWay) {
    start();
    SoftDevice iface = device("usb", "USB Interface", 2, 2);
    iface.extra = "Front panel";
    host_->add_device(iface);
    EXPECT_EQ(poll(), (std::vector{E{E::Added{seen("usb", "USB Interface", "Front panel")}}}));
    host_->remove_device("usb");
    EXPECT_EQ(poll(), (std::vector{E{E::Removed{seen("usb", "USB Interface", "Front panel")}}}));
}

TEST_F(WatcherTest, InputOnlyDeviceGivesItsOwnEvents) {
    start();
    host_->add_device(device("mic", "Measurement Mic", 1, 0));
    EXPECT_EQ(poll(), (std::vector{E{E::Added{seen("mic", "Measurement Mic")}}}));
    host_->remove_device("mic");
    EXPECT_EQ(poll(), (std::vector{E{E::Removed{seen("mic", "Measurement Mic")}}}));
}

TEST_F(WatcherTest, ChangesBetweenTwoPollsComeInTheirOrder) {
    host_->add_device(device("old-out", "Old Out", 0, 2));
    host_->add_device(device("old-in", "Old In", 2, 0));
    start();
    host_->add_device(device("new-out", "New Out", 0, 2));
    host_->add_device(device("new-in", "New In", 2, 0));
    host_->remove_device("old-out");
    host_->remove_device("old-in");
    host_->set_default_output("new-out");
    host_->set_default_input("new-in");
    EXPECT_EQ(poll(), (std::vector{
                          E{E::Added{seen("new-out", "New Out")}},
                          E{E::Added{seen("new-in", "New In")}},
                          E{E::Removed{seen("old-out", "Old Out")}},
                          E{E::Removed{seen("old-in", "Old In")}},
                          E{E::DefaultOutputChanged{seen("new-out", "New Out")}},
                          E{E::DefaultInputChanged{seen("new-in", "New In")}},
                      }));
}

TEST_F(WatcherTest, DefaultSwitchGivesOneEventAndLosingItGivesTheEmptyDevice) {
    host_->add_device(device("hdmi", "HDMI", 0, 8));
    start();
    host_->set_default_output("hdmi");
    EXPECT_EQ(poll(), (std::vector{E{E::DefaultOutputChanged{seen("hdmi", "HDMI")}}}));
    host_->set_default_output("hdmi");
    EXPECT_TRUE(poll().empty());
    host_->set_default_output(std::nullopt);
    host_->set_default_input(std::nullopt);
    EXPECT_EQ(poll(), (std::vector{E{E::DefaultOutputChanged{AudioDevice{}}}, E{E::DefaultInputChanged{AudioDevice{}}}}));
    host_->set_default_output("builtin");
    EXPECT_EQ(poll(), (std::vector{E{E::DefaultOutputChanged{seen("builtin", "Built-in")}}}));
}

TEST_F(WatcherTest, FailedEnumerationChangesNothingAndTheNextPollReportsOnlyRealDifferences) {
    host_->add_device(device("usb", "USB Interface", 2, 2));
    start();
    host_->fail_enumeration(AudioError{ErrorKind::BackendSpecific, "daemon restarting"});
    host_->set_default_output("usb");
    EXPECT_TRUE(poll().empty());
    EXPECT_TRUE(poll().empty());
    host_->fail_enumeration(std::nullopt);
    host_->remove_device("builtin");
    EXPECT_EQ(poll(), (std::vector{E{E::Removed{seen("builtin", "Built-in")}},
                                   E{E::DefaultOutputChanged{seen("usb", "USB Interface")}},
                                   E{E::DefaultInputChanged{AudioDevice{}}}}));
}

TEST_F(WatcherTest, DeviceWithoutIdentifierIsLeftOutAndWithoutDescriptionIsNamedByItsId) {
    start();
    SoftDevice anon = device("anon", "Anon", 0, 2);
    anon.id_error = AudioError{ErrorKind::DeviceNotAvailable, std::nullopt};
    host_->add_device(anon);
    SoftDevice plain = device("plain", "Plain", 0, 2);
    plain.description_error = AudioError{ErrorKind::Other, std::nullopt};
    host_->add_device(plain);
    EXPECT_EQ(poll(), (std::vector{E{E::Added{seen("plain", "Software:plain")}}}));
}

TEST_F(WatcherTest, ClosedEventChannelDoesNotEndThePolling) {
    start();
    rx_ = base::Receiver<AudioDeviceEvent>();
    host_->add_device(device("usb", "USB Interface", 2, 2));
    pace_.poll();
    pace_.poll();  // still polling
}

TEST(Watcher, DroppingRightAfterStartReturns) {
    auto host = std::make_shared<SoftwareHost>();
    auto [tx, rx] = base::channel<AudioDeviceEvent>();
    {
        auto w = audio_watcher::macos::AudioDeviceWatcher::start(std::move(tx), host, {});
    }
    // The polling thread dropped its sender.
    EXPECT_EQ(rx.recv(), std::nullopt);
}

TEST(ResolveDeviceById, FallsBackToTheIdForUnknownDevices) {
    auto host = std::make_shared<SoftwareHost>();
    SoftDevice d = device("x", "Device X", 2, 2);
    d.extra = "rear";
    host->add_device(d);
    const audio_watcher::host_common::DeviceMap known{{"Software:known", seen("known", "Known")}};
    struct Case {
        std::string id;
        AudioDevice want;
    };
    const Case cases[] = {
        {"Software:known", seen("known", "Known")},
        {"speaker", AudioDevice{"speaker", "speaker", std::nullopt}},
        {"ALSA:x", AudioDevice{"ALSA:x", "ALSA:x", std::nullopt}},
        {"Software:nothing", AudioDevice{"Software:nothing", "Software:nothing", std::nullopt}},
        {"software:x", seen("x", "Device X", "rear")},
        {"SOFTWARE:x", seen("x", "Device X", "rear")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(audio_watcher::host_common::resolve_device_by_id(*host, c.id, known), c.want) << c.id;
    }
}

TEST(CarryOver, KeepsTheFailedHostsDevicesAndDefault) {
    using namespace audio_watcher::host_common;
    const DeviceMap prev{{"A:1", {"A:1", "one", {}}}, {"B:2", {"B:2", "two", {}}}};
    const DefaultMap prev_defaults{{"A", "A:1"}, {"B", "B:2"}};
    DeviceMap next{{"B:3", {"B:3", "three", {}}}};
    DefaultMap next_defaults{{"B", "B:3"}};
    carry_over({{"A:", "A"}}, prev, prev_defaults, next, next_defaults);
    EXPECT_EQ(next, (DeviceMap{{"A:1", {"A:1", "one", {}}}, {"B:3", {"B:3", "three", {}}}}));
    EXPECT_EQ(next_defaults, (DefaultMap{{"A", "A:1"}, {"B", "B:3"}}));
}

}  // namespace
