#pragma once
// The reactive framework's UI loop on the GTK main loop.
#include <memory>

#include "reactive/loop.h"

namespace webview_host {

// post() may be called from any thread: callbacks run on the GTK main loop's
// thread in posting order, through the runtime's one queue (shared with the
// windows' event loop, so the two keep one order). post_after() runs a callback once the delay has
// passed (GLib timeouts, whole milliseconds, rounded up). Callbacks still
// queued when the loop is destroyed never run.
class GtkLoop final : public reactive::Loop {
public:
    GtkLoop();
    ~GtkLoop() override;
    GtkLoop(const GtkLoop&) = delete;
    GtkLoop& operator=(const GtkLoop&) = delete;

    void post(std::function<void()> fn) override;
    void post_after(reactive::Duration delay, std::function<void()> fn) override;
    reactive::Instant now() const override;

    struct State;

private:
    std::shared_ptr<State> s_;
};

}  // namespace webview_host
