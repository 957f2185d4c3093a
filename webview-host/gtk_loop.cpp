// The one queue onto the GTK main loop, and the reactive framework's loop on it.
#include "webview-host/gtk_loop.h"

#include <glib.h>

#include <deque>
#include <mutex>

#include "webview-host/window_impl.h"

namespace webview_host {

namespace detail {
namespace {

struct UiQueue {
    std::mutex mu;
    std::deque<std::function<void()>> queue;
    bool scheduled = false;
};

// Never destroyed: threads may post while the process exits.
UiQueue& ui_queue() {
    static auto* q = new UiQueue;
    return *q;
}

gboolean drain(gpointer) {
    auto& q = ui_queue();
    std::deque<std::function<void()>> now;
    {
        std::lock_guard lk(q.mu);
        now.swap(q.queue);
        q.scheduled = false;
    }
    for (auto& fn : now) guarded("UI loop callback", fn);
    return G_SOURCE_REMOVE;
}

}  // namespace

void post_to_ui(std::function<void()> fn) {
    auto& q = ui_queue();
    bool schedule = false;
    {
        std::lock_guard lk(q.mu);
        q.queue.push_back(std::move(fn));
        if (!q.scheduled) q.scheduled = schedule = true;
    }
    if (schedule) g_idle_add_full(G_PRIORITY_DEFAULT, drain, nullptr, nullptr);
}

}  // namespace detail

struct GtkLoop::State {
    std::atomic<bool> alive{true};
};

GtkLoop::GtkLoop() : s_(std::make_shared<State>()) {}

GtkLoop::~GtkLoop() { s_->alive = false; }

void GtkLoop::post(std::function<void()> fn) {
    // Callbacks still queued when the loop goes never run.
    detail::post_to_ui([s = std::weak_ptr<State>(s_), fn = std::move(fn)] {
        auto live = s.lock();
        if (live && live->alive) fn();
    });
}

void GtkLoop::post_after(reactive::Duration delay, std::function<void()> fn) {
    struct Timer {
        std::weak_ptr<State> s;
        std::function<void()> fn;
    };
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay).count();
    if (ms < 0) ms = 0;
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(std::min<long long>(ms, G_MAXUINT)),
        +[](gpointer data) -> gboolean {
            auto* t = static_cast<Timer*>(data);
            auto s = t->s.lock();
            if (s && s->alive) detail::guarded("UI loop timer", t->fn);
            return G_SOURCE_REMOVE;
        },
        new Timer{s_, std::move(fn)}, [](gpointer p) { delete static_cast<Timer*>(p); });
}

reactive::Instant GtkLoop::now() const { return reactive::Clock::now(); }

}  // namespace webview_host
