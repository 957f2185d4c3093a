#include "ui/main_window/measure/capture.h"

#include <algorithm>
#include <memory>

#include "base/log.h"
#include "ui/main_window/measure/measurement.h"

namespace ui::main_window {

using engine::analyzer::Cmd;

void capture_trace(const WindowState& s) {
    if (!s.snapshot.peek().running) return;
    auto [tx, rx] = base::channel<Trace>();
    const auto& analyzer = s.analyzer.peek();
    if (!analyzer) return;
    analyzer->send(Cmd{Cmd::Capture{std::move(tx), ""}});
    s.pending_capture.set(std::nullopt);
    reactive::spawn_root(await_capture(s, std::move(rx)));
    // Stop is queued behind the capture on the same channel.
    if (s.settings.peek().stop_on_capture) stop_analyzer(s);
    s.prompt.set(Prompt{Prompt::Capture{proposed_capture_source(s)}});
}

reactive::Task<void> await_capture(WindowState s, base::Receiver<Trace> reply) {
    auto rx = std::make_shared<base::Receiver<Trace>>(std::move(reply));
    auto waiting = reactive::spawn_blocking([rx] { return rx->recv(); });
    auto got = co_await waiting;
    if (!got) {
        base::log::warn(LOG_TARGET, "capture: " + got.error());
        co_return;
    }
    if (*got) s.pending_capture.set(std::move(**got));
}

std::string proposed_capture_source(const WindowState& s) {
    const auto& sources = s.sources.peek();
    if (const auto& picked = s.selected_source.peek();
        picked && std::find(sources.begin(), sources.end(), *picked) != sources.end())
        return *picked;
    const auto& traces = s.traces.peek();
    const auto& position = s.position.peek();
    for (const auto& source : sources) {
        const bool has = std::any_of(traces.begin(), traces.end(), [&](const Trace& t) {
            return t.source == source && t.position == position;
        });
        if (!has) return source;
    }
    return sources.empty() ? std::string() : sources.front();
}

}  // namespace ui::main_window
