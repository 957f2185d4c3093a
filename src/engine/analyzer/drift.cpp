// The drift lock of the analyzer: baseline, jumps, slow drift and the clock
// drift between input and output.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "base/cast.h"
#include "engine/analyzer/analyzer.h"

namespace engine::analyzer {

namespace {

template <class... F>
struct Overload : F... {
    using F::operator()...;
};

constexpr float GOOD = 6.0f;          // confidence needed for any decision
constexpr std::int64_t JUMP = 64;     // samples: a jump, not drift
constexpr std::int64_t SAME = 5;      // samples: a jump seen again
constexpr std::size_t HISTORY = 1800;

}  // namespace

std::string Action::text() const {
    return std::visit(Overload{
                          [](const Ignore&) { return std::string("Ignore"); },
                          [](const Baseline& b) { return fmt::format("Baseline({})", b.baseline); },
                          [](const Drift& d) {
                              return fmt::format("Drift {{ median: {}, drift: {} }}", d.median, d.drift);
                          },
                          [](const Pending&) { return std::string("Pending"); },
                          [](const Follow& f) {
                              return fmt::format("Follow {{ delay: {}, step: {} }}", f.delay, f.step);
                          },
                      },
                      v);
}

void DriftTracker::clear() {
    baseline_samples.clear();
    baseline.reset();
    smoothed = 0.0f;
    pending.reset();
    recent.clear();
    history.clear();
    clock_drift = 0.0f;
}

std::optional<Action> DriftTracker::step(std::optional<tf::DelayFound> found, std::size_t d, float fs,
                                         std::size_t processed) {
    if (!found) {
        pending.reset();
        return std::nullopt;
    }
    const auto lag = static_cast<std::int64_t>(found->delay);
    const float q = found->confidence;
    const std::int64_t diff = lag - static_cast<std::int64_t>(d);
    auto smooth = [&] { smoothed = smoothed > 0.0f ? 0.8f * smoothed + 0.2f * q : q; };

    Action action{Action::Ignore{}};
    if (!(q > GOOD)) {
        pending.reset();
    } else if (!baseline) {
        baseline_samples.push_back(diff);
        smooth();
        if (baseline_samples.size() >= 3) {
            std::vector<std::int64_t> sorted = baseline_samples;
            std::sort(sorted.begin(), sorted.end());
            baseline = sorted[sorted.size() / 2];
            action.v = Action::Baseline{*baseline};
        }
    } else {
        const std::int64_t e = diff - *baseline;
        const auto m = static_cast<std::int64_t>(base::saturating_cast<std::size_t>(fs * 0.005f));
        if (std::abs(e) <= m) smooth();
        const float h = 0.5f * smoothed;
        if (pending && std::abs(e - *pending) < SAME && q >= h) {
            smoothed = q;
            recent.clear();
            pending.reset();
            const std::int64_t moved = static_cast<std::int64_t>(d) + e;
            const std::size_t to = moved > 0 ? static_cast<std::size_t>(moved) : 0;
            history.clear();
            clock_drift = 0.0f;
            return Action{Action::Follow{to, e}};
        }
        if (std::abs(e) >= JUMP && q >= h) {
            pending = e;
            history.clear();
            clock_drift = 0.0f;
            return Action{Action::Pending{}};
        }
        pending.reset();
        if (std::abs(e) <= m) {
            if (recent.size() == 3) recent.erase(recent.begin());
            recent.push_back(e);
            std::vector<std::int64_t> sorted = recent;
            std::sort(sorted.begin(), sorted.end());
            const std::int64_t median = sorted[sorted.size() / 2];
            action.v = Action::Drift{median, e};
            if (history.size() >= HISTORY) history.erase(history.begin());
            history.emplace_back(static_cast<double>(processed) / static_cast<double>(fs),
                                 static_cast<double>(e) / static_cast<double>(fs));
        }
    }

    // The clock drift: least-squares slope of offset against time.
    clock_drift = 0.0f;
    if (history.size() >= 5 && history.back().first - history.front().first >= 30.0) {
        double tm = 0.0;
        double om = 0.0;
        for (const auto& [t, o] : history) {
            tm += t;
            om += o;
        }
        const double cnt = static_cast<double>(history.size());
        tm /= cnt;
        om /= cnt;
        double num = 0.0;
        double den = 0.0;
        for (const auto& [t, o] : history) {
            num += (t - tm) * (o - om);
            den += (t - tm) * (t - tm);
        }
        if (den > 0.0) clock_drift = static_cast<float>(num / den * 1000000.0);
    }
    return action;
}

}  // namespace engine::analyzer
