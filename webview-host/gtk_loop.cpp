#include "webview-host/gtk_loop.h"

#include <glib.h>

#include <deque>
#include <mutex>

#include "base/log.h"

namespace webview_host {

struct GtkLoop::State {
    std::mutex mu;
    std::deque<std::function<void()>> queue;
    bool scheduled = false;
    bool alive = true;
};

namespace {

constexpr const char* TARGET = "veltrum::webview_host::loop";

void run_guarded(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        base::log::error(TARGET, std::string("UI loop callback failed: ") + e.what());
    } catch (...) {
        base::log::error(TARGET, "UI loop callback failed");
    }
}

gboolean drain(gpointer data) {
    auto s = static_cast<std::weak_ptr<GtkLoop::State>*>(data)->lock();
    if (!s) return G_SOURCE_REMOVE;
    // Only what was queued before this pass runs now; what the callbacks
    // post runs in the next pass, so the GTK loop keeps its turn.
    std::deque<std::function<void()>> now;
    {
        std::lock_guard lk(s->mu);
        now.swap(s->queue);
        s->scheduled = false;
    }
    for (auto& fn : now) {
        {
            std::lock_guard lk(s->mu);
            if (!s->alive) return G_SOURCE_REMOVE;
        }
        run_guarded(fn);
    }
    return G_SOURCE_REMOVE;
}

void free_weak(gpointer p) { delete static_cast<std::weak_ptr<GtkLoop::State>*>(p); }

}  // namespace

GtkLoop::GtkLoop() : s_(std::make_shared<State>()) {}

GtkLoop::~GtkLoop() {
    std::deque<std::function<void()>> drop;
    {
        std::lock_guard lk(s_->mu);
        s_->alive = false;
        drop.swap(s_->queue);
    }
}

void GtkLoop::post(std::function<void()> fn) {
    bool schedule = false;
    {
        std::lock_guard lk(s_->mu);
        if (!s_->alive) return;
        s_->queue.push_back(std::move(fn));
        if (!s_->scheduled) s_->scheduled = schedule = true;
    }
    if (schedule)
        g_idle_add_full(G_PRIORITY_DEFAULT, drain, new std::weak_ptr<State>(s_), free_weak);
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
            if (!s) return G_SOURCE_REMOVE;
            {
                std::lock_guard lk(s->mu);
                if (!s->alive) return G_SOURCE_REMOVE;
            }
            run_guarded(t->fn);
            return G_SOURCE_REMOVE;
        },
        new Timer{s_, std::move(fn)}, [](gpointer p) { delete static_cast<Timer*>(p); });
}

reactive::Instant GtkLoop::now() const { return reactive::Clock::now(); }

}  // namespace webview_host
