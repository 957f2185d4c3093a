#include "reactive/task.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

#include "base/log.h"
#include "reactive/signal.h"

namespace reactive {
namespace detail {

namespace {
thread_local TaskState* t_task = nullptr;
thread_local TaskScope* t_scope = nullptr;
thread_local TaskScope* t_root_scope = nullptr;
constexpr const char* TARGET = "veltrum::reactive::task";
}  // namespace

TaskState* current_task() { return t_task; }
TaskScope* current_scope() { return t_scope; }
TaskScope* set_current_scope(TaskScope* s) {
    auto prev = t_scope;
    t_scope = s;
    return prev;
}
TaskScope* root_scope() { return t_root_scope; }
void set_root_scope(TaskScope* s) { t_root_scope = s; }

std::string exception_text(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    } catch (...) {
        return "unknown exception";
    }
}

void log_task_failure(std::exception_ptr e) {
    base::log::error(TARGET, "task failed: " + exception_text(e));
}

void TaskState::resume(std::coroutine_handle<> h) {
    if (cancelled || finished) return;
    auto keep = shared_from_this();
    TaskState* prev_task = t_task;
    TaskScope* prev_scope = t_scope;
    t_task = this;
    // Tasks spawned by a task belong to the same scope.
    t_scope = scope ? scope : prev_scope;
    Observer* prev_obs = set_current_observer(track_first_run ? current_observer() : nullptr);
    track_first_run = false;
    running = true;
    h.resume();
    running = false;
    set_current_observer(prev_obs);
    t_task = prev_task;
    t_scope = prev_scope;
    if (cancelled) {
        finish();
    } else if (frame.done()) {
        auto typed = std::coroutine_handle<Promise<void>>::from_address(frame.address());
        if (typed.promise().error) log_task_failure(typed.promise().error);
        finish();
    }
}

void TaskState::cancel() {
    if (finished) return;
    cancelled = true;
    if (!running) finish();
}

void TaskState::finish() {
    if (finished) return;
    finished = true;
    auto keep = shared_from_this();
    if (frame) {
        auto f = frame;
        frame = {};
        f.destroy();
    }
    if (scope) {
        auto* s = scope;
        scope = nullptr;
        s->remove(this);
    }
}

TaskState::~TaskState() {
    if (frame) frame.destroy();
}

void resume_later(Loop* loop, std::weak_ptr<TaskState> task, std::coroutine_handle<> h) {
    auto run = [task = std::move(task), h] {
        if (auto t = task.lock()) t->resume(h);
    };
    if (loop) loop->post(std::move(run));
    else run();
}

// ---- blocking pool ----------------------------------------------------------------

namespace {
class BlockingPool {
public:
    void submit(std::function<void()> job) {
        {
            std::lock_guard lk(mu_);
            if (threads_.empty()) start_locked();
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
    }
    ~BlockingPool() {
        {
            std::lock_guard lk(mu_);
            stop_ = true;
            jobs_.clear();
        }
        cv_.notify_all();
        for (auto& t : threads_) t.join();
    }

private:
    void start_locked() {
        for (int i = 0; i < 4; ++i) threads_.emplace_back([this] { run(); });
    }
    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lk(mu_);
                cv_.wait(lk, [&] { return stop_ || !jobs_.empty(); });
                if (stop_) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            try {
                job();
            } catch (...) {
                base::log::error(TARGET, "blocking job failed: " + exception_text(std::current_exception()));
            }
        }
    }
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool stop_ = false;
};

BlockingPool& pool() {
    static BlockingPool p;
    return p;
}
}  // namespace

void run_blocking(std::function<void()> job) { pool().submit(std::move(job)); }

}  // namespace detail

// ---- handles and scopes --------------------------------------------------------------

void TaskHandle::cancel() const {
    if (auto s = s_.lock()) s->cancel();
}

bool TaskHandle::finished() const {
    auto s = s_.lock();
    return !s || s->finished;
}

TaskScope::~TaskScope() { cancel_all(); }

void TaskScope::cancel_all() {
    auto tasks = std::move(tasks_);
    tasks_.clear();
    for (auto& t : tasks) {
        t->scope = nullptr;
        t->cancel();
    }
}

void TaskScope::remove(detail::TaskState* s) {
    auto it = std::find_if(tasks_.begin(), tasks_.end(), [&](const auto& p) { return p.get() == s; });
    if (it != tasks_.end()) tasks_.erase(it);
}

TaskHandle TaskScope::spawn(Task<void> task, bool track_first_run) {
    auto h = task.release();
    if (!h) return {};
    auto s = std::make_shared<detail::TaskState>();
    s->track_first_run = track_first_run;
    s->frame = h;
    s->scope = this;
    s->loop = current_loop();
    tasks_.push_back(s);
    TaskHandle handle(s);
    s->resume(h);
    return handle;
}

TaskHandle spawn(Task<void> task) {
    TaskScope* s = detail::current_scope();
    if (!s) s = detail::root_scope();
    if (!s) {
        // No root on this thread: a scope that lives as long as the thread.
        static thread_local TaskScope fallback;
        s = &fallback;
    }
    return s->spawn(std::move(task));
}

TaskHandle spawn_root(Task<void> task) {
    TaskScope* s = detail::root_scope();
    if (!s) return spawn(std::move(task));
    return s->spawn(std::move(task));
}

void SleepAwaiter::await_suspend(std::coroutine_handle<> h) {
    std::weak_ptr<detail::TaskState> task;
    if (auto* t = detail::current_task()) task = t->weak_from_this();
    Loop* loop = current_loop();
    if (!loop) {
        h.resume();
        return;
    }
    loop->post_after(d, [task, h] {
        if (auto t = task.lock()) t->resume(h);
    });
}

Task<bool> timeout(Duration d, Task<void> task) {
    Pending<bool> done;
    auto runner = [](Task<void> t, Pending<bool> p) -> Task<void> {
        co_await std::move(t);
        p.resolve(true);
    };
    TaskHandle h = spawn(runner(std::move(task), done));
    if (Loop* loop = current_loop()) loop->post_after(d, [done] { done.resolve(false); });
    bool r = co_await done;
    h.cancel();
    co_return r;
}

}  // namespace reactive
