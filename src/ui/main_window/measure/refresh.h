#pragma once
// The refresh loop: every 33 ms it copies the worker snapshots into the
// window, supervises the analyzer and the SPL meter, builds the plot's
// drawing updates and sends them to the page when they changed (and on every
// 10th pass), applies a delay found by a search started with the run, and
// keeps the delay setting in step with the delay in use.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/result.h"
#include "reactive/loop.h"
#include "reactive/task.h"
#include "ui/main_window/core/keys.h"
#include "ui/main_window/core/state.h"
#include "ui/tf_plot/tf_plot.h"

namespace ui::main_window {

using ui::tf_plot::PlotUpdate;

// The measurement workers as the loop sees them; `of` reaches the handles in
// the window's cells, tests put scripted ones in.
struct Workers {
    // The analyzer's snapshot (cloned under its lock); none without an analyzer.
    std::function<std::optional<engine::analyzer::Snapshot>()> analyzer;
    // One command to the analyzer (dropped when its thread has ended).
    std::function<void(engine::analyzer::Cmd)> send;
    // Drops the analyzer (stops and joins its thread).
    std::function<void()> drop_analyzer;
    // The meter's snapshot; none without a meter.
    std::function<std::optional<engine::meter::MeterSnapshot>()> meter;
    std::function<void()> drop_meter;
    std::function<void()> start_meter;

    static Workers of(const WindowState& s);
};

// Where batches go: the plot channel, or a test's recorder.
using PlotSink = std::function<base::Result<void>(std::vector<PlotUpdate>)>;

// Sends the batch as one JSON array of [id, attribute, value] on the channel.
base::Result<void> send_plot_update(const reactive::Eval& channel, std::vector<PlotUpdate> batch);

// A copy of an RTA curve with the weighting and the level offset applied.
std::vector<engine::tf::Point> weight_points(const std::vector<engine::tf::Point>& points,
                                             engine::tf::Weighting weighting, float offset_db);

// SipHash-1-3 (zero keys) over the batch and the five show switches.
std::uint64_t batch_hash(const std::vector<PlotUpdate>& batch, const Settings& settings);

// SipHash-c-d of `bytes` under the key (k0, k1).
std::uint64_t siphash(std::string_view bytes, std::uint64_t k0, std::uint64_t k1, int c_rounds, int d_rounds);

// Whether two snapshots hold the same bits (NaNs included), so that an
// unchanged snapshot is recognised as such.
bool same_snapshot(const engine::analyzer::Snapshot& a, const engine::analyzer::Snapshot& b);

// The loop's state and one pass of it.
//
// The transfer plot's batch is a memo of the cells it is built from and of
// the analyzer's snapshot, so a pass whose inputs did not change builds
// nothing. What goes to the page is only the updates whose value differs
// from the one the page was last sent; a new page, a switch of view or of a
// panel, and every 10th pass restate the whole batch.
class Refresh {
public:
    Refresh(WindowState s, Workers workers, PlotSink sink);
    void pass(reactive::Instant now);
    // The page was replaced: the next batch restates everything.
    void restate() { applied_.clear(); }

    // The transfer plot's batch, the level it was drawn at and its hash.
    struct Built {
        std::vector<PlotUpdate> updates;
        float ref_db = 0.0f;
        std::uint64_t hash = 0;
        bool operator==(const Built& o) const { return hash == o.hash && ref_db == o.ref_db; }
    };

private:
    void spl_pass(reactive::Instant now);
    void transfer_pass(reactive::Instant now);
    // Sends the updates of `batch` whose value differs from the one last
    // sent (all of them with `all`); nothing when none differs.
    void send(const std::vector<PlotUpdate>& batch, bool all);
    Built build() const;

    struct SplKey {
        std::uint64_t frames = 0;
        float offset = 0, top = 0, bottom = 0;
        engine::tf::Weighting weighting{};
        std::uint8_t smoothing = 0;
        bool operator==(const SplKey& o) const;
    };

    WindowState s_;
    Workers workers_;
    PlotSink sink_;
    // The analyzer's snapshot while one runs, written only when it changed.
    reactive::Signal<std::optional<engine::analyzer::Snapshot>> live_{std::nullopt};
    reactive::Memo<Built> built_;
    // The level the transfer plot was last built at.
    mutable std::optional<float> steady_ref_;
    // The value last sent per element and attribute (id, 0xFF, attribute).
    std::unordered_map<std::string, std::string> applied_;
    std::optional<engine::settings::View> last_view_;
    std::uint8_t last_show_ = 0;
    std::uint32_t counter_ = 0;
    std::optional<std::uint64_t> last_hash_;
    std::optional<SplKey> spl_key_;
    std::uint64_t last_row_frames_ = 0;
    std::optional<reactive::Instant> meter_ended_at_;
    bool send_failure_logged_ = false;
};

// The task body: one pass every 33 ms, for as long as the window lives.
reactive::Task<void> refresh_loop(WindowState s);

}  // namespace ui::main_window
