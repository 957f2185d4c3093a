// Writes the seed corpora of the fuzz targets into <folder>/<target>/, each
// file made by the program's own writers: project files (compressed and
// plain), settings files, calibration texts and console messages.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "engine/core/trace.h"
#include "engine/exports/wing.h"
#include "engine/persist/trace_file.h"
#include "engine/settings/settings.h"

namespace fs = std::filesystem;
using namespace engine;

namespace {

void put(const fs::path& dir, const std::string& name, std::string_view bytes) {
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

trace::LayerBins bins_of(std::size_t n) {
    trace::LayerBins l;
    l.n = n;
    l.bins.resize(n / 2);
    for (std::size_t k = 0; k < n / 2; ++k) {
        const float ph = -0.05f * static_cast<float>(k);
        l.bins[k] = tf::Triple{std::cos(ph), std::sin(ph), 0.9f};
    }
    return l;
}

std::vector<trace::Session> sessions() {
    std::vector<trace::Session> out;
    out.emplace_back();  // empty project
    trace::Session s;
    const std::vector<tf::Triple> grid(tf::GRID_POINTS, tf::Triple{0.5f, -0.25f, 0.9f});
    s.traces.push_back(trace::Trace::make("Main 1", 48000, 10, grid, 0.7f));
    s.traces.push_back(trace::Trace::from_layers("Layered", 1000, 3, std::vector{bins_of(256)}, {}, 0.5f));
    design::Source src = design::Source::make("Main");
    src.bands = {eqfit::Band{1000.0f, -3.0f, 2.0f, true, eqfit::BandKind::Peak}};
    src.zones = {design::Zone{"Position 1", {eqfit::Band{}}, true, design::Air{}}};
    src.routes = {design::Route{"Position 1", design::Parts{}, design::Dest::wing("ch 1")}};
    s.design.sources = {src, design::Source::make("Sub")};
    s.sources = {"Main", "Sub"};
    s.position = "Position 1";
    s.setup.target.reset();
    s.setup.mic_cal_path = "/home/me/mic \"7\".cal";
    out.push_back(s);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <folder>\n");
        return 2;
    }
    const fs::path root = argv[1];

    int i = 0;
    for (const auto& s : sessions()) {
        put(root / "project", fmt::format("gzip-{}", i), s.encode().value());
        std::string text;
        notation::Writer w(text);
        s.serialize(w);
        put(root / "project", fmt::format("text-{}", i), text);
        ++i;
    }

    settings::Settings st;
    put(root / "settings", "default", st.render().value());
    st.dark_mode = false;
    st.view = settings::View::Spl;
    st.target.reset();
    st.recent_projects = {"/a/b.vtproject", "/c/d \"e\".vtproject"};
    st.last_project = "/a/b.vtproject";
    st.sine_hz = std::nanf("");
    put(root / "settings", "changed", st.render().value());

    // Calibration files are written by the microphone's maker; these are the
    // forms the reader knows, with numbers written as the program writes them.
    std::string plain = "# Hz dB\n", comma, semicolon;
    for (float hz = 20.0f; hz <= 20000.0f; hz *= 1.5f) {
        const float db = 0.5f * std::log10(hz);
        plain += fmt::format("{} {}\n", notation::float_text(hz), notation::float_text(db));
        semicolon += fmt::format("{};{}\r\n", notation::float_text(hz), notation::float_text(db));
        std::string a = notation::float_text(hz), b = notation::float_text(db);
        std::replace(a.begin(), a.end(), '.', ',');
        std::replace(b.begin(), b.end(), '.', ',');
        comma += a + " " + b + " 0,0\n";
    }
    put(root / "miccal", "plain", plain);
    put(root / "miccal", "semicolon", semicolon);
    put(root / "miccal", "decimal-comma", comma);

    // Console messages as the program sends them, and replies in their form.
    design::Source strip = design::Source::make("Main");
    strip.bands = {eqfit::Band{1000.0f, -3.0f, 2.0f, true, eqfit::BandKind::Peak}};
    const auto cmd = wing::command(strip, "ch 5", design::Parts{});
    const auto msg = wing::osc_str(cmd ? cmd->text : "/ch.5.in.set.inv=0");
    put(root / "osc_reply", "command", std::string_view(reinterpret_cast<const char*>(msg.data()), msg.size()));
    const auto ok = wing::osc_str("ok");
    put(root / "osc_reply", "reply", std::string_view(reinterpret_cast<const char*>(ok.data()), ok.size()));
    put(root / "osc_reply", "bare", std::string("\0\0plain text\0", 14));
    return 0;
}
