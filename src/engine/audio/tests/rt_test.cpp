// The audio callbacks must not allocate once running: count every operator
// new around them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "engine/audio/capture.h"
#include "engine/audio/generator.h"

namespace {
std::atomic<long> g_news{0};
}

void* operator new(std::size_t n) {
    g_news.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    g_news.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace engine;
using audio_watcher::host::SampleFormat;

TEST(AudioCallbacks, TheCounterSeesAllocations) {
    const long before = g_news.load();
    std::vector<float> v;
    v.reserve(10);
    EXPECT_EQ(g_news.load() - before, 1);
}

TEST(AudioCallbacks, InputAppendsWithoutAllocating) {
    const std::uint32_t rate = 48000;
    auto shared = std::make_shared<capture::Shared>();
    shared->mic.reserve(11 * rate);
    shared->reference.reserve(11 * rate);
    capture::InputState st{shared, 2, 10 * rate, 0, 1};
    std::vector<float> f32(512 * 2, 0.25f);
    std::vector<std::int32_t> i24(512 * 2, 1000);
    std::vector<float> spare_mic, spare_ref;
    spare_mic.reserve(11 * rate);
    spare_ref.reserve(11 * rate);

    const long before = g_news.load();
    for (int pass = 0; pass < 30; ++pass) {
        for (int b = 0; b < 50; ++b) {  // more than the cap: emptied on the way
            capture::on_input(st, SampleFormat::F32, f32.data(), f32.size());
            capture::on_input(st, SampleFormat::I24, i24.data(), i24.size());
        }
        {
            std::lock_guard lk(shared->lock);  // the worker's swap
            capture::on_input(st, SampleFormat::F32, f32.data(), f32.size());  // busy: dropped
            if (pass % 7 == 0) {
                shared->mic.swap(spare_mic);
                shared->reference.swap(spare_ref);
                spare_mic.clear();
                spare_ref.clear();
            }
        }
    }
    EXPECT_EQ(g_news.load() - before, 0);
    EXPECT_GT(shared->dropped.load(), 0u);
}

TEST(AudioCallbacks, OutputRendersAndFeedsTheTapWithoutAllocating) {
    const std::uint32_t rate = 48000;
    generator::OutputState st;
    st.generator = generator::Generator(48000.0f, generator::GenParams{.sine_hz = 1000, .sweep_secs = 1, .gen_db = -6,
                                                                      .signal = generator::Signal::Sweep});
    st.params = std::make_shared<generator::SharedParams>();
    st.params->params = st.generator.params;
    st.tap_dropped = std::make_shared<std::atomic<std::uint64_t>>(0);
    st.channels = 32;
    st.channel = 3;
    st.tap = std::make_shared<generator::Tap>();
    st.tap->samples.reserve(11 * rate);
    st.block.reserve(rate);
    st.tap_cap = 10 * rate;
    st.format = SampleFormat::I16;
    std::vector<std::int16_t> block(512 * 32);

    const long before = g_news.load();
    for (int b = 0; b < 2000; ++b) {  // over 20 s: the neglected tap is emptied on the way
        if (b % 100 == 0) st.params->params.signal = b % 200 == 0 ? generator::Signal::Pink : generator::Signal::Chirp;
        if (b % 300 == 0) {
            std::lock_guard lk(st.tap->lock);  // busy tap: samples wait
            generator::on_output(st, block.data(), block.size());
        } else {
            generator::on_output(st, block.data(), block.size());
        }
    }
    EXPECT_EQ(g_news.load() - before, 0);
    EXPECT_GT(st.tap_dropped->load(), 0u);
}
