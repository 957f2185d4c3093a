#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "audio-watcher/software_host.h"
#include "base/log.h"
#include "engine/audio/generator.h"

using namespace engine;
using audio_watcher::host::AudioError;
using audio_watcher::host::ErrorKind;
using audio_watcher::host::SampleFormat;
using audio_watcher::host::SoftwareHost;
using audio_watcher::host::SupportedRange;
using generator::GenParams;
using generator::Generator;
using generator::Signal;

namespace {

// The signals written out step by step, independently of Generator.
struct Reference {
    float rate;
    float gain;
    float phase = 0;
    std::uint64_t pos = 0;

    float sine(float hz) {
        phase += hz / rate;
        phase -= std::trunc(phase);
        return gain * sinf(phase * 6.2831855f);
    }
    float sweep_like(double T, std::uint64_t N, double k) {
        const std::uint64_t n = pos;
        pos = (n + 1) % N;
        const double t = static_cast<double>(n) / static_cast<double>(rate);
        if (t >= T) return 0.0f;
        const float f2 = rate * 0.5f < 20000.0f ? rate * 0.5f : 20000.0f;
        const double L = log(static_cast<double>(f2) / 20.0);
        const double phi = (k / L) * expm1(t * L / T);
        const double d = (t < T - t ? t : T - t) / 0.004999999888241291;
        const float g = static_cast<float>(d) < 1.0f ? 0.5f - 0.5f * cosf(static_cast<float>(d) * 3.1415927f) : 1.0f;
        return gain * (g * static_cast<float>(sin(phi)));
    }
    float sweep(float secs) {
        const float T = secs > 0.1f ? secs : 0.1f;
        std::uint64_t N = static_cast<std::uint64_t>(T * rate);
        if (N < 2) N = 1;
        return sweep_like(T, N, static_cast<double>(T) * 125.66370614359172);
    }
    float chirp() {
        std::uint64_t N = static_cast<std::uint64_t>(rate * 0.5f);
        if (N < 2) N = 1;
        return sweep_like(0.10000000149011612, N, 12.566370801612686);
    }
};

GenParams params(Signal s, float db = -6.0f, float hz = 1000.0f, float secs = 1.0f) {
    return GenParams{.sine_hz = hz, .sweep_secs = secs, .gen_db = db, .signal = s};
}

}  // namespace

TEST(Generator, GoldenSequencesAt48k) {
    struct Case { const char* what; GenParams p; };
    const std::vector<Case> table = {
        {"sine 1 kHz", params(Signal::Sine, -6.0f, 1000.0f)},
        {"sine 997 Hz", params(Signal::Sine, 0.0f, 997.0f)},
        {"sweep 1 s", params(Signal::Sweep, -10.0f, 0, 1.0f)},
        {"sweep 0.25 s", params(Signal::Sweep, 0.0f, 0, 0.25f)},
        {"chirp", params(Signal::Chirp, 0.0f)},
        {"off", params(Signal::Off, 0.0f)},
    };
    for (const auto& c : table) {
        Generator g(48000.0f, c.p);
        Reference r{48000.0f, static_cast<float>(std::pow(10.0f, c.p.gen_db / 20.0f))};
        EXPECT_EQ(g.gain, r.gain) << c.what;
        for (int i = 0; i < 120000; ++i) {
            float want = 0.0f;
            switch (c.p.signal) {
                case Signal::Sine: want = r.sine(c.p.sine_hz); break;
                case Signal::Pink: break;
                case Signal::Sweep: want = r.sweep(c.p.sweep_secs); break;
                case Signal::Chirp: want = r.chirp(); break;
                case Signal::Off: break;
            }
            const float got = g.next();
            ASSERT_EQ(got, want) << c.what << " sample " << i;
        }
    }
}

// Pink noise at gain 1 against values worked out apart from this code base
// (single-precision arithmetic emulated step by step from the written
// recurrence), sample 1000 being one that the clamp holds at 1.
TEST(Generator, PinkAgainstIndependentValues) {
    const std::pair<int, float> want[] = {
        {0, -0.247704566f}, {1, 0.358106732f},  {2, 0.174774677f},      {3, -0.543205202f}, {4, 0.230050415f},
        {5, 0.748650312f},  {1000, 1.0f},       {47999, -0.391163707f}, {119999, 0.124434508f},
    };
    Generator g(48000.0f, params(Signal::Pink, 0.0f));
    int i = 0;
    for (const auto& [at, value] : want) {
        float got = 0.0f;
        for (; i <= at; ++i) got = g.next();
        EXPECT_EQ(got, value) << "sample " << at;
    }
}

TEST(Generator, FirstSamplesByHand) {
    Generator sine(48000.0f, params(Signal::Sine, 0.0f, 1000.0f));
    EXPECT_EQ(sine.next(), sinf((1000.0f / 48000.0f) * 6.2831855f));  // the phase advances first
    Generator pink(48000.0f, params(Signal::Pink, 0.0f));
    EXPECT_EQ(pink.noise_state, 0x9e3779b9u);
    pink.next();
    std::uint32_t s = 0x9e3779b9u;
    s ^= s << 13; s ^= s >> 17; s ^= s << 5;
    EXPECT_EQ(pink.noise_state, s);
}

TEST(Generator, PeriodsAndEdges) {
    Generator chirp(48000.0f, params(Signal::Chirp));
    for (int i = 0; i < 23999; ++i) chirp.next();
    EXPECT_EQ(chirp.position, 23999u);
    chirp.next();
    EXPECT_EQ(chirp.position, 0u);  // a chirp period is 24000 samples

    Generator sweep(48000.0f, params(Signal::Sweep, 0.0f, 0, 1.0f));
    EXPECT_EQ(sweep.next(), 0.0f);  // fade weight 0 at t = 0
    for (int i = 1; i < 48000; ++i) {
        EXPECT_EQ(sweep.position, static_cast<std::uint64_t>(i));
        sweep.next();
    }
    EXPECT_EQ(sweep.position, 0u);
    EXPECT_EQ(sweep.next(), 0.0f);  // and again at the start of the next period

    Generator shortest(48000.0f, params(Signal::Sweep, 0.0f, 0, 0.0f));  // 0 s plays 0.1 s
    for (int i = 0; i < 4800; ++i) shortest.next();
    EXPECT_EQ(shortest.position, 0u);
    Generator nan_secs(48000.0f, params(Signal::Sweep, 0.0f, 0, std::numeric_limits<float>::quiet_NaN()));
    for (int i = 0; i < 4799; ++i) nan_secs.next();
    EXPECT_EQ(nan_secs.position, 4799u);

    for (Signal s : {Signal::Sweep, Signal::Chirp}) {
        Generator one(1.0f, params(s, 0.0f));
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(one.next(), 0.0f);
            EXPECT_EQ(one.position, 0u);
        }
    }

    Generator at_rate(48000.0f, params(Signal::Sine, 0.0f, 48000.0f));
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(at_rate.next(), 0.0f);
        EXPECT_EQ(at_rate.phase, 0.0f);
    }
    for (Signal s : {Signal::Off, Signal::Sine, Signal::Pink}) {
        Generator g(48000.0f, params(s));
        for (int i = 0; i < 10; ++i) g.next();
        EXPECT_EQ(g.position, 0u);
    }
}

TEST(Generator, TopFrequencyFollowsTheRate) {
    // At 44100 Hz the sweep ends at 20000 Hz, at 32000 Hz at 16000 Hz: the
    // golden arithmetic above takes min(rate / 2, 20000); check both rates.
    for (float rate : {44100.0f, 32000.0f}) {
        Generator g(rate, params(Signal::Sweep, 0.0f, 0, 0.5f));
        Reference r{rate, 1.0f};
        for (int i = 0; i < 30000; ++i) ASSERT_EQ(g.next(), r.sweep(0.5f)) << rate << " " << i;
    }
}

TEST(Generator, PinkStaysInRangeAndTwoGeneratorsAgree) {
    Generator a(48000.0f, params(Signal::Pink, 0.0f));
    Generator b(48000.0f, params(Signal::Pink, 0.0f));
    for (int i = 0; i < 200000; ++i) {
        const float x = a.next();
        ASSERT_LE(std::fabs(x), 1.0f);
        ASSERT_EQ(x, b.next());
    }
    Generator loud(48000.0f, params(Signal::Pink, 40.0f));
    for (int i = 0; i < 10000; ++i) ASSERT_LE(std::fabs(loud.next()), 1.0f);
}

TEST(Generator, GainOfDecibels) {
    EXPECT_EQ(generator::gain_of(0.0f), 1.0f);
    EXPECT_EQ(generator::gain_of(std::numeric_limits<float>::quiet_NaN()), 0.0f);
    EXPECT_EQ(generator::gain_of(1000.0f), 0.0f);  // overflows to infinity
    EXPECT_EQ(generator::gain_of(-20.0f), std::pow(10.0f, -1.0f));
}

// ---------------------------------------------------------------------------
// Output conversions

namespace {

template <class T>
std::vector<unsigned char> bytes(T v) {
    std::vector<unsigned char> out(sizeof(T));
    std::memcpy(out.data(), &v, sizeof(T));
    return out;
}

}  // namespace

TEST(GeneratorConversion, EveryFormatFromFloat) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        SampleFormat f;
        float s;
        std::vector<unsigned char> want;
    };
    const std::vector<Case> table = {
        {SampleFormat::F32, 0.5f, bytes(0.5f)},
        {SampleFormat::F32, -2.0f, bytes(-2.0f)},
        {SampleFormat::F64, 0.1f, bytes(static_cast<double>(0.1f))},
        {SampleFormat::I8, 0.5f, bytes<std::int8_t>(64)},
        {SampleFormat::I8, 1.0f, bytes<std::int8_t>(127)},
        {SampleFormat::I8, -1.0f, bytes<std::int8_t>(-128)},
        {SampleFormat::I8, -0.999f, bytes<std::int8_t>(-127)},  // toward zero
        {SampleFormat::I8, nan, bytes<std::int8_t>(0)},
        {SampleFormat::I16, 0.25f, bytes<std::int16_t>(8192)},
        {SampleFormat::I16, 1.0f, bytes<std::int16_t>(32767)},
        {SampleFormat::I16, -3.0f, bytes<std::int16_t>(-32768)},
        {SampleFormat::I24, 0.5f, bytes<std::int32_t>(4194304)},
        {SampleFormat::I24, 1.0f, bytes<std::int32_t>(8388607)},   // 24-bit full scale, not 2^23
        {SampleFormat::I24, 2.0f, bytes<std::int32_t>(8388607)},
        {SampleFormat::I24, -1.0f, bytes<std::int32_t>(-8388608)},
        {SampleFormat::I24, -5.0f, bytes<std::int32_t>(-8388608)},
        {SampleFormat::I32, 0.5f, bytes<std::int32_t>(1073741824)},
        {SampleFormat::I32, 1.0f, bytes<std::int32_t>(INT32_MAX)},
        {SampleFormat::I32, -1.0f, bytes<std::int32_t>(INT32_MIN)},
        {SampleFormat::I64, 0.5f, bytes<std::int64_t>(std::int64_t{1} << 62)},
        {SampleFormat::I64, 1.0f, bytes<std::int64_t>(INT64_MAX)},
        {SampleFormat::I64, -1.0f, bytes<std::int64_t>(INT64_MIN)},
        {SampleFormat::I64, nan, bytes<std::int64_t>(0)},
        {SampleFormat::U8, 0.0f, bytes<std::uint8_t>(128)},
        {SampleFormat::U8, 1.0f, bytes<std::uint8_t>(255)},
        {SampleFormat::U8, -1.0f, bytes<std::uint8_t>(0)},
        {SampleFormat::U16, 0.5f, bytes<std::uint16_t>(49152)},
        {SampleFormat::U16, 1.0f, bytes<std::uint16_t>(65535)},
        {SampleFormat::U24, 0.0f, bytes<std::uint32_t>(8388608)},
        {SampleFormat::U24, 1.0f, bytes<std::uint32_t>(16777215)},  // not 16777216
        {SampleFormat::U24, -1.0f, bytes<std::uint32_t>(0)},
        {SampleFormat::U32, 1.0f, bytes<std::uint32_t>(UINT32_MAX)},
        {SampleFormat::U32, -1.0f, bytes<std::uint32_t>(0)},
        {SampleFormat::U32, 0.5f, bytes<std::uint32_t>(3221225472u)},
        {SampleFormat::U64, 0.0f, bytes<std::uint64_t>(std::uint64_t{1} << 63)},
        {SampleFormat::U64, 1.0f, bytes<std::uint64_t>(UINT64_MAX)},
        {SampleFormat::U64, -1.0f, bytes<std::uint64_t>(0)},
    };
    for (const auto& c : table) {
        std::vector<unsigned char> got(c.want.size(), 0xAA);
        generator::write_sample(c.f, got.data(), 0, c.s);
        EXPECT_EQ(got, c.want) << audio_watcher::host::format_name(c.f) << " " << c.s;
    }
    const std::vector<std::pair<SampleFormat, std::vector<unsigned char>>> silence = {
        {SampleFormat::F32, bytes(0.0f)},
        {SampleFormat::F64, bytes(0.0)},
        {SampleFormat::I8, bytes<std::int8_t>(0)},
        {SampleFormat::I16, bytes<std::int16_t>(0)},
        {SampleFormat::I24, bytes<std::int32_t>(0)},
        {SampleFormat::I32, bytes<std::int32_t>(0)},
        {SampleFormat::I64, bytes<std::int64_t>(0)},
        {SampleFormat::U8, bytes<std::uint8_t>(128)},
        {SampleFormat::U16, bytes<std::uint16_t>(32768)},
        {SampleFormat::U24, bytes<std::uint32_t>(8388608)},
        {SampleFormat::U32, bytes<std::uint32_t>(2147483648u)},
        {SampleFormat::U64, bytes<std::uint64_t>(std::uint64_t{1} << 63)},
    };
    for (const auto& [f, want] : silence) {
        std::vector<unsigned char> got(want.size(), 0xAA);
        generator::write_silence(f, got.data(), 0);
        EXPECT_EQ(got, want) << audio_watcher::host::format_name(f);
    }
}

// ---------------------------------------------------------------------------
// Render callback

namespace {

generator::OutputState out_state(std::size_t channels, std::size_t channel, SampleFormat f, GenParams p,
                                 bool with_tap, std::uint32_t rate = 48000) {
    generator::OutputState st;
    st.generator = Generator(static_cast<float>(rate), p);
    st.params = std::make_shared<generator::SharedParams>();
    st.params->params = p;
    st.tap_dropped = std::make_shared<std::atomic<std::uint64_t>>(0);
    st.channels = channels;
    st.channel = channel;
    st.format = f;
    st.tap_cap = std::size_t{10} * rate;
    if (with_tap) {
        st.tap = std::make_shared<generator::Tap>();
        st.tap->samples.reserve(std::size_t{11} * rate);
        st.block.reserve(rate);
    }
    return st;
}

std::vector<float> render(generator::OutputState& st, std::size_t frames) {
    std::vector<float> out(frames * st.channels, 7.0f);
    generator::on_output(st, out.data(), out.size());
    std::vector<float> ch(frames);
    for (std::size_t f = 0; f < frames; ++f) ch[f] = out[f * st.channels + st.channel];
    return ch;
}

}  // namespace

TEST(GeneratorOutput, SignalOnOneChannelSilenceOnTheOthers) {
    auto st = out_state(4, 2, SampleFormat::U16, params(Signal::Sine, 0.0f, 1000.0f), false);
    std::vector<std::uint16_t> block(4 * 64 + 3, 1);  // and a partial trailing frame
    generator::on_output(st, block.data(), block.size());
    Generator ref(48000.0f, params(Signal::Sine, 0.0f, 1000.0f));
    for (std::size_t f = 0; f < 64; ++f) {
        EXPECT_EQ(block[f * 4 + 0], 32768);
        EXPECT_EQ(block[f * 4 + 1], 32768);
        EXPECT_EQ(block[f * 4 + 3], 32768);
        std::uint16_t want;
        generator::write_sample(SampleFormat::U16, &want, 0, ref.next());
        EXPECT_EQ(block[f * 4 + 2], want);
    }
    EXPECT_EQ(block[256], 1);  // the partial frame is left alone
    EXPECT_EQ(block[258], 1);
}

TEST(GeneratorOutput, ParameterChangesBetweenBlocks) {
    auto st = out_state(1, 0, SampleFormat::F32, params(Signal::Sweep, 0.0f, 1000.0f, 1.0f), false);
    render(st, 100);
    EXPECT_EQ(st.generator.position, 100u);
    st.params->params.sweep_secs = 2.0f;  // Sweep to Sweep: position kept
    render(st, 10);
    EXPECT_EQ(st.generator.position, 110u);
    st.params->params.signal = Signal::Chirp;  // a new signal starts at its beginning
    render(st, 10);
    EXPECT_EQ(st.generator.position, 10u);
    st.params->params.signal = Signal::Sweep;
    const auto first = render(st, 1);
    EXPECT_EQ(first[0], 0.0f);
    EXPECT_EQ(st.generator.position, 1u);

    // Changing only sine_hz keeps the phase running.
    auto sine = out_state(1, 0, SampleFormat::F32, params(Signal::Sine, 0.0f, 1000.0f), false);
    render(sine, 7);
    const float phase = sine.generator.phase;
    sine.params->params.sine_hz = 2000.0f;
    const auto next = render(sine, 1);
    float p = phase + 2000.0f / 48000.0f;
    p -= std::trunc(p);
    EXPECT_EQ(next[0], sinf(p * 6.2831855f));

    // A NaN level is silence, recomputed every block while it stays NaN.
    sine.params->params.gen_db = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(render(sine, 4), (std::vector<float>(4, 0.0f)));
    sine.generator.gain = 0.5f;
    EXPECT_EQ(render(sine, 4), (std::vector<float>(4, 0.0f)));
    EXPECT_EQ(sine.generator.gain, 0.0f);

    // While the analyzer holds the lock the previous parameters play on.
    auto held = out_state(1, 0, SampleFormat::F32, params(Signal::Off), false);
    {
        std::lock_guard lk(held.params->lock);
        held.params->params = params(Signal::Sine, 0.0f);
        EXPECT_EQ(render(held, 4), (std::vector<float>(4, 0.0f)));
    }
    EXPECT_NE(render(held, 4)[0], 0.0f);
    held.params->lock.poison();  // a poisoned lock is passed over as well
    held.params->params = params(Signal::Off);
    EXPECT_NE(render(held, 4)[0], 0.0f);
}

TEST(GeneratorOutput, TapHoldsOneSecondWhileBusyAndCountsTheRest) {
    auto st = out_state(2, 1, SampleFormat::F32, params(Signal::Pink, 0.0f), true);
    Generator ref(48000.0f, params(Signal::Pink, 0.0f));
    std::vector<float> generated;
    {
        std::lock_guard lk(st.tap->lock);  // two seconds of analyzer holding the tap
        for (int b = 0; b < 200; ++b) {
            auto s = render(st, 480);
            generated.insert(generated.end(), s.begin(), s.end());
        }
        EXPECT_TRUE(st.tap->samples.empty());
        EXPECT_EQ(st.block.size(), 48000u);
        EXPECT_EQ(st.tap_dropped->load(), 48000u);
    }
    render(st, 480);  // generated while the buffer is still full: dropped too
    EXPECT_EQ(st.tap_dropped->load(), 48480u);
    ASSERT_EQ(st.tap->samples.size(), 48000u);
    EXPECT_TRUE(std::equal(st.tap->samples.begin(), st.tap->samples.end(), generated.begin()));
    EXPECT_TRUE(st.block.empty());
    auto more = render(st, 480);
    EXPECT_EQ(st.tap->samples.size(), 48480u);
    EXPECT_TRUE(std::equal(more.begin(), more.end(), st.tap->samples.begin() + 48000));
    EXPECT_EQ(st.block.capacity(), 48000u);  // never grew

    // Without a tap nothing is counted, whatever happens to the block buffer.
    auto none = out_state(1, 0, SampleFormat::F32, params(Signal::Pink, 0.0f), false);
    render(none, 4800);
    EXPECT_EQ(none.tap_dropped->load(), 0u);
    EXPECT_TRUE(none.block.empty());
}

TEST(GeneratorOutput, NeglectedTapIsEmptiedBeyondTenSeconds) {
    generator::Tap tap;
    std::atomic<std::uint64_t> dropped{0};
    std::vector<float> block = {1, 2, 3};
    tap.samples.assign(100, 0.0f);
    generator::flush_tap(tap, block, 100, dropped);  // exactly at the cap: appended
    EXPECT_EQ(tap.samples.size(), 103u);
    EXPECT_EQ(dropped.load(), 0u);
    block = {4, 5};
    generator::flush_tap(tap, block, 100, dropped);
    EXPECT_EQ(dropped.load(), 103u);
    EXPECT_EQ(tap.samples, (std::vector<float>{4, 5}));
    EXPECT_TRUE(block.empty());
    tap.lock.poison();
    block = {6};
    generator::flush_tap(tap, block, 100, dropped);
    EXPECT_EQ(block, (std::vector<float>{6}));  // kept for later
    EXPECT_EQ(tap.samples.size(), 2u);
}

TEST(GeneratorOutput, ErrorsRaiseTheFailedFlagExceptTheBenignKinds) {
    base::log::Capture logs;
    std::atomic<bool> failed{false};
    for (ErrorKind k : {ErrorKind::RouteChanged, ErrorKind::RealtimeDenied, ErrorKind::Xrun})
        generator::on_output_error(failed, AudioError{k, std::nullopt});
    EXPECT_FALSE(failed.load());
    generator::on_output_error(failed, AudioError{ErrorKind::StreamInvalidated, "gone"});
    EXPECT_TRUE(failed.load());
    auto recs = logs.with_message("output stream error");
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[3].field("err"), "gone");
    EXPECT_EQ(recs[3].level, base::log::Level::Warn);
}

// ---------------------------------------------------------------------------
// Opening through the software host

namespace {

struct OpenFixture : ::testing::Test {
    std::shared_ptr<SoftwareHost> host = std::make_shared<SoftwareHost>();
    audio_watcher::host::ScopedHost use{host};
    std::shared_ptr<generator::SharedParams> gen = std::make_shared<generator::SharedParams>();
};

}  // namespace

using GeneratorOpen = OpenFixture;

TEST_F(GeneratorOpen, Errors) {
    host->add_device({.id = "spk", .name = "Speaker", .output_channels = 2});
    host->add_device({.id = "mic", .name = "Mic", .input_channels = 2});
    EXPECT_EQ(generator::open("Software", "software:mic", 0, 48000, gen, nullptr).error(), "audio device not found");
    EXPECT_EQ(generator::open("ALSA", "software:spk", 0, 48000, gen, nullptr).error(), "audio host ALSA not available");
    EXPECT_EQ(generator::open("Software", "software:spk", 2, 48000, gen, nullptr).error(),
              "output has 2 channels, channel 3 not available");
    gen->lock.poison();
    EXPECT_EQ(generator::open("Software", "software:spk", 0, 48000, gen, nullptr).error(),
              "poisoned lock: another task failed inside");
    auto fresh = std::make_shared<generator::SharedParams>();
    auto tap = std::make_shared<generator::Tap>();
    tap->lock.poison();
    EXPECT_EQ(generator::open("Software", "software:spk", 0, 48000, fresh, tap).error(),
              "poisoned lock: another task failed inside");
    host->add_device({.id = "odd", .name = "Odd", .output_channels = 1,
                      .output_ranges = std::vector<SupportedRange>{{std::nullopt, 48000, 48000, 1, static_cast<SampleFormat>(99)}}});
    EXPECT_EQ(generator::open("Software", "software:odd", 0, 48000, fresh, nullptr).error(),
              "unsupported output sample format Unknown");
    host->add_device({.id = "busy", .name = "Busy", .output_channels = 1,
                      .play_error = AudioError{ErrorKind::DeviceBusy, "taken"}});
    EXPECT_EQ(generator::open("Software", "software:busy", 0, 48000, fresh, nullptr).error(), "taken");
    EXPECT_EQ(host->stream_count(), 0u);
}

TEST_F(GeneratorOpen, PlaysIntoTheRoomAndTheTap) {
    base::log::Capture logs;
    host->add_device({.id = "out", .name = "Out", .output_channels = 2,
                      .output_ranges = std::vector<SupportedRange>{{std::nullopt, 44100, 96000, 2, SampleFormat::I32}}});
    host->add_device({.id = "in", .name = "In", .input_channels = 1});
    host->connect("out", "in", {.out_channel = 1, .mic_channel = 0, .delay = 5});
    gen->params = params(Signal::Pink, -6.0f);
    auto tap = std::make_shared<generator::Tap>();
    auto out = generator::open("Software", "software:out", 1, 48000, gen, tap);
    ASSERT_TRUE(out.has_value()) << out.error();
    EXPECT_EQ(out->rate, 48000u);
    EXPECT_GE(tap->samples.capacity(), 11u * 48000u);
    auto rec = logs.with_message("output started");
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec[0].field("fmt"), "I32");
    EXPECT_EQ(rec[0].field("channel"), "1");
    EXPECT_EQ(rec[0].field("channels"), "2");
    EXPECT_EQ(rec[0].field("rate"), "48000");

    host->advance(48000);
    std::vector<float> taken;
    {
        std::lock_guard lk(tap->lock);
        taken.swap(tap->samples);
    }
    ASSERT_GE(taken.size(), 48000u);
    Generator ref(48000.0f, params(Signal::Pink, -6.0f));
    for (float s : taken) ASSERT_EQ(s, ref.next());
    EXPECT_EQ(out->tap_dropped->load(), 0u);
    EXPECT_FALSE(out->failed->load());
    host->remove_device("out");
    EXPECT_TRUE(out->failed->load());
}
