// Wing console commands: golden texts and warnings for a table of strips.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/exports/wing.h"

namespace engine::wing {
namespace {

using design::Band;
using design::BandKind;
using design::FilterKind;
using design::Parts;
using design::Source;

Band peak(float hz, float gain, float q = 1.0f) { return Band{hz, gain, q, true, BandKind::Peak}; }
Band low_shelf(float hz, float gain, float q = 0.7f) { return Band{hz, gain, q, true, BandKind::LowShelf}; }
Band high_shelf(float hz, float gain, float q = 0.7f) { return Band{hz, gain, q, true, BandKind::HighShelf}; }

// A strip with no bands and everything off.
Source bare(std::string name = "Main") {
    Source s = Source::make(std::move(name));
    s.bands.clear();
    return s;
}

Source with_peaks(int n) {
    Source s = bare();
    for (int i = 0; i < n; ++i) s.bands.push_back(peak(100.0f * float(i + 1), float(i) - 3.0f, 2.0f));
    return s;
}

Parts only(bool eq, bool hp, bool lp, bool delay, bool polarity) {
    Parts p;
    p.eq = eq;
    p.hp = hp;
    p.lp = lp;
    p.delay = delay;
    p.polarity = polarity;
    return p;
}

struct Case {
    const char* what;
    Source strip;
    const char* target;
    Parts parts;
    std::string text;
    std::vector<std::string> warnings;
};

std::vector<Case> cases() {
    std::vector<Case> out;

    out.push_back({"bus with nothing on", bare(), "bus 3", Parts{},
                   "/bus.3.eq.on=1,mdl=STD,mix=100,tilt=0,/bus.3.eq.leq=PEQ,lg=0,/bus.3.eq.heq=PEQ,hg=0,"
                   "/bus.3.eq.1g=0,/bus.3.eq.2g=0,/bus.3.eq.3g=0,/bus.3.eq.4g=0,/bus.3.eq.5g=0,/bus.3.eq.6g=0,"
                   "/bus.3.dly.on=0,m=0.00,/bus.3.in.set.inv=0",
                   {}});
    {
        Source s = bare();
        s.peq = false;
        out.push_back({"bus with peq off", s, "bus 3", Parts{},
                       "/bus.3.eq.on=0,mdl=STD,mix=100,tilt=0,/bus.3.eq.leq=PEQ,lg=0,/bus.3.eq.heq=PEQ,hg=0,"
                       "/bus.3.eq.1g=0,/bus.3.eq.2g=0,/bus.3.eq.3g=0,/bus.3.eq.4g=0,/bus.3.eq.5g=0,/bus.3.eq.6g=0,"
                       "/bus.3.dly.on=0,m=0.00,/bus.3.in.set.inv=0",
                       {}});
    }
    out.push_back({"seven peaks on a bus", with_peaks(7), "bus 1", Parts{},
                   "/bus.1.eq.on=1,mdl=STD,mix=100,tilt=0,/bus.1.eq.leq=PEQ,lg=0,/bus.1.eq.heq=PEQ,hg=0,"
                   "/bus.1.eq.1g=-3.000,1f=100.000,1q=2.500,/bus.1.eq.2g=-2.000,2f=200.000,2q=2.500,"
                   "/bus.1.eq.3g=-1.000,3f=300.000,3q=2.500,/bus.1.eq.4g=0.000,4f=400.000,4q=2.500,"
                   "/bus.1.eq.5g=1.000,5f=500.000,5q=2.500,/bus.1.eq.6g=2.000,6f=600.000,6q=2.500,"
                   "/bus.1.eq.leq=PEQ,lg=3.000,lf=700.000,lq=2.500,"
                   "/bus.1.dly.on=0,m=0.00,/bus.1.in.set.inv=0",
                   {}});
    out.push_back({"nine peaks on a main", with_peaks(9), "main 2", Parts{},
                   "/main.2.eq.on=1,mdl=STD,mix=100,tilt=0,/main.2.eq.leq=PEQ,lg=0,/main.2.eq.heq=PEQ,hg=0,"
                   "/main.2.eq.1g=-3.000,1f=100.000,1q=2.500,/main.2.eq.2g=-2.000,2f=200.000,2q=2.500,"
                   "/main.2.eq.3g=-1.000,3f=300.000,3q=2.500,/main.2.eq.4g=0.000,4f=400.000,4q=2.500,"
                   "/main.2.eq.5g=1.000,5f=500.000,5q=2.500,/main.2.eq.6g=2.000,6f=600.000,6q=2.500,"
                   "/main.2.eq.leq=PEQ,lg=3.000,lf=700.000,lq=2.500,"
                   "/main.2.eq.heq=PEQ,hg=4.000,hf=800.000,hq=2.500,"
                   "/main.2.dly.on=0,m=0.00,/main.2.in.set.inv=0",
                   {"first 8 of 9 peaks"}});
    {
        Source s = bare("Sub");
        s.hp.on = true;
        s.hp.kind = FilterKind::Butterworth;
        s.hp.slope_db = 18;
        s.hp.hz = 35.5f;
        out.push_back({"channel with only a highpass", s, "ch 12", only(false, true, false, false, false),
                       "/ch.12.flt.lc=1,lcf=35.500", {"HP as Wing low cut, its slope not BW 18 dB/oct"}});
    }
    {
        Source s = bare();
        s.bands = {peak(1000, -20), peak(2000, -16.5f), peak(3000, 18), peak(4000, 3)};
        out.push_back({"gains beyond 15 dB", s, "ch 1", only(true, false, false, false, false),
                       "/ch.1.eq.on=1,mdl=STD,mix=100,/ch.1.eq.leq=PEQ,lg=0,/ch.1.eq.heq=PEQ,hg=0,"
                       "/ch.1.eq.1g=-15.000,1f=1000.000,1q=1.250,/ch.1.eq.2g=-15.000,2f=2000.000,2q=1.250,"
                       "/ch.1.eq.3g=15.000,3f=3000.000,3q=1.250,/ch.1.eq.4g=3.000,4f=4000.000,4q=1.250",
                       {"a band's gain held to the Wing's 15 dB"}});
    }
    {
        Source s = bare();
        s.bands = {peak(10, 1, 0.3f), peak(30000, 2, 10), peak(500, 3, 0.1f)};
        out.push_back({"Q and frequency limits", s, "mtx 8", only(true, false, false, false, false),
                       "/mtx.8.eq.on=1,mdl=STD,mix=100,tilt=0,/mtx.8.eq.leq=PEQ,lg=0,/mtx.8.eq.heq=PEQ,hg=0,"
                       "/mtx.8.eq.1g=1.000,1f=20.000,1q=0.442,/mtx.8.eq.2g=2.000,2f=20000.000,2q=10.000,"
                       "/mtx.8.eq.3g=3.000,3f=500.000,3q=0.442,"
                       "/mtx.8.eq.4g=0,/mtx.8.eq.5g=0,/mtx.8.eq.6g=0",
                       {}});
    }
    {
        Source s = bare();
        s.delay_ms = -1.0f;
        out.push_back({"negative delay on a bus", s, "bus 2", only(false, false, false, true, false),
                       "/bus.2.dly.on=0,m=0.00", {}});
        out.push_back({"negative delay on a channel", s, "ch 2", only(false, false, false, true, false),
                       "/ch.2.in.set.dly=0.00", {}});
        s.delay_ms = 12.345f;
        s.invert = true;
        out.push_back({"delay and polarity on a bus", s, "bus 2", only(false, false, false, true, true),
                       "/bus.2.dly.on=1,m=12.35,/bus.2.in.set.inv=1", {}});
    }
    {
        // Crossovers on a bus go to the EQ's low and high bands as cuts,
        // and the shelves they displace are dropped.
        Source s = bare("Top");
        s.hp = {true, FilterKind::LinkwitzRiley, 24, 10.0f};
        s.lp = {true, FilterKind::GalileoLp, 12, 25000.0f};
        s.shaping.on = true;
        s.bands = {low_shelf(80, 4), high_shelf(9000, -2), low_shelf(120, 1), peak(250, -3, 4)};
        out.push_back({"cuts on a bus", s, "bus 16", only(true, true, true, false, false),
                       "/bus.16.eq.on=1,mdl=STD,mix=100,tilt=0,"
                       "/bus.16.eq.leq=CUT,lf=20.000,lg=0,/bus.16.eq.heq=CUT,hf=20000.000,hg=0,"
                       "/bus.16.eq.1g=-3.000,1f=250.000,1q=5.000,"
                       "/bus.16.eq.2g=0,/bus.16.eq.3g=0,/bus.16.eq.4g=0,/bus.16.eq.5g=0,/bus.16.eq.6g=0",
                       {"HP as Wing low cut, its slope not LR 24 dB/oct",
                        "low shelf dropped (HP uses Wing's low band; fit with Shelves off)",
                        "LP as Wing high cut, its slope not lp 12 dB/oct",
                        "high shelf dropped (LP uses Wing's high band; fit with Shelves off)",
                        "1 extra shelf band(s) dropped", "shaping not sent (no such block there)"}});
        // The same strip on a channel: the crossovers go to the input filters,
        // the shelves to the EQ's low and high bands.
        out.push_back({"cuts on a channel", s, "ch 40", only(true, true, true, false, false),
                       "/ch.40.flt.lc=1,lcf=20.000,/ch.40.flt.hc=1,hcf=20000.000,"
                       "/ch.40.eq.on=1,mdl=STD,mix=100,"
                       "/ch.40.eq.leq=SHV,lg=4.000,lf=80.000,lq=0.875,"
                       "/ch.40.eq.heq=SHV,hg=-2.000,hf=9000.000,hq=0.875,"
                       "/ch.40.eq.1g=-3.000,1f=250.000,1q=5.000,/ch.40.eq.2g=0,/ch.40.eq.3g=0,/ch.40.eq.4g=0",
                       {"HP as Wing low cut, its slope not LR 24 dB/oct",
                        "LP as Wing high cut, its slope not lp 12 dB/oct", "1 extra shelf band(s) dropped",
                        "shaping not sent (no such block there)"}});
    }
    {
        // Only the crossovers on a bus: the EQ comes on for the cuts alone,
        // and the peaks are not sent.
        Source s = with_peaks(3);
        s.hp = {true, FilterKind::GalileoElliptic, 48, 3000.0f};
        out.push_back({"crossovers only on a bus", s, "bus 4", only(false, true, true, false, false),
                       "/bus.4.eq.on=1,/bus.4.eq.leq=CUT,lf=2000.000,lg=0,/bus.4.eq.heq=PEQ,hg=0",
                       {"HP as Wing low cut, its slope not ell 48 dB/oct"}});
    }
    {
        // Off filters on a channel are sent as off, without a warning.
        Source s = bare();
        s.hp.hz = 5.0f;
        s.lp.hz = 30.0f;
        out.push_back({"filters off on a channel", s, "ch 3", only(false, true, true, false, false),
                       "/ch.3.flt.lc=0,lcf=20.000,/ch.3.flt.hc=0,hcf=50.000", {}});
    }
    return out;
}

TEST(Command, GoldenTexts) {
    for (const auto& c : cases()) {
        auto r = command(c.strip, c.target, c.parts);
        ASSERT_TRUE(r.has_value()) << c.what << ": " << r.error();
        EXPECT_EQ(r->text, c.text) << c.what;
        EXPECT_EQ(r->warnings, c.warnings) << c.what;
    }
}

TEST(Command, Errors) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Err {
        const char* what;
        Source strip;
        const char* target;
        Parts parts;
        std::string error;
    };
    std::vector<Err> cases;
    cases.push_back({"bad target", bare(), "ch 41", Parts{}, "no such Wing target: ch 41"});
    cases.push_back({"case matters", bare(), "CH 5", Parts{}, "no such Wing target: CH 5"});
    {
        Source s = bare("Left");
        s.bands.push_back(Band{1000, nan, 1, false, BandKind::Peak});  // off, still checked
        cases.push_back({"NaN gain of an off band", s, "bus 1", Parts{}, "Left has a value that is not a number, not sent"});
    }
    {
        Source s = bare("Right");
        s.delay_ms = inf;
        cases.push_back({"infinite delay", s, "bus 1", only(false, false, false, false, true),
                         "Right has a value that is not a number, not sent"});
    }
    {
        Source s = bare("Fill");
        s.lp.hz = nan;
        cases.push_back({"NaN corner", s, "ch 1", Parts{}, "Fill has a value that is not a number, not sent"});
    }
    cases.push_back({"nothing selected", bare(), "bus 1", only(false, false, false, false, false), "nothing selected to send"});
    {
        // The parts chosen give no command at all: warnings are dropped too.
        Source s = bare();
        s.hp.on = true;
        Parts p = only(false, false, false, false, false);
        p.zone_eq = true;
        p.air = true;
        cases.push_back({"zone parts alone", s, "ch 1", p, "nothing selected to send"});
    }
    for (const auto& c : cases) {
        auto r = command(c.strip, c.target, c.parts);
        ASSERT_FALSE(r.has_value()) << c.what;
        EXPECT_EQ(r.error(), c.error) << c.what;
    }
}

// A flattened zone strip: the zone's bands follow the source's in one EQ.
TEST(Command, FlattenedZoneStrip) {
    Source s = bare("Main");
    s.bands = {peak(100, -2, 1)};
    design::Zone z;
    z.position = "Row 3";
    z.bands = {peak(2000, 1.5f, 2), Band{3000, 4, 2, false, BandKind::Peak}};
    s.zones.push_back(z);
    Parts wanted = only(false, false, false, true, false);
    wanted.zone_eq = true;
    auto [strip, parts] = s.flat("Row 3", wanted);
    auto r = command(strip, "bus 5", parts);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->text,
              "/bus.5.eq.on=1,mdl=STD,mix=100,tilt=0,/bus.5.eq.leq=PEQ,lg=0,/bus.5.eq.heq=PEQ,hg=0,"
              "/bus.5.eq.1g=1.500,1f=2000.000,1q=2.500,"
              "/bus.5.eq.2g=0,/bus.5.eq.3g=0,/bus.5.eq.4g=0,/bus.5.eq.5g=0,/bus.5.eq.6g=0,"
              "/bus.5.dly.on=0,m=0.00");
    EXPECT_TRUE(r->warnings.empty());
}

}  // namespace
}  // namespace engine::wing
