#pragma once
// A small hand-written page root for the runtime's tests: a counter text, a
// button that raises it, a link whose click the host prevents, a box that
// listens to the per-frame events, a focusable "modal" element whose click
// listener tests may hold up, the keys pressed anywhere in the tree, and a
// page script installed per page generation.
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "webview-host/ipc.h"
#include "webview-host/window.h"

namespace webview_host::testing {

class CounterRoot : public PageRoot {
public:
    int count = 0;
    std::vector<EventRecord> events;
    // Called at a render that sees a new page generation (and the first).
    std::function<void(std::uint32_t generation)> install_scripts;
    std::uint32_t seen_generation = ~0u;
    bool placeholder = false;
    // A root that misbehaves: never reads the page generation, keeps its
    // tree during a recovery.
    bool reads_generation = true;
    bool renders_placeholder = true;
    // Runs inside every dispatch (after the record is kept); `depth` is the
    // number of dispatches running, this one included.
    std::function<void(const EventRecord&)> during_dispatch;
    int depth = 0;
    int max_depth = 0;

    nlohmann::json render_first() override;
    nlohmann::json render_dirty() override;
    EventReply dispatch(const EventRecord& ev) override;
    void render_placeholder() override;
    bool placeholder_mounted() const override;
    nlohmann::json render_reattach() override;
    bool uses_page_generation() const override { return read_generation_; }
    void attached(Window& w) override { window_ = &w; }

private:
    Window* window_ = nullptr;
    bool read_generation_ = false;
    nlohmann::json tree();
    void follow_generation();
    bool changed_ = false;
};

}  // namespace webview_host::testing
