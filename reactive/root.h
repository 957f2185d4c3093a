#pragma once
// The root: mounts a component tree, renders it into DOM edits, dispatches
// page events to listeners, and runs the hooks components use.
//
//   reactive::ManualLoop loop;                       // the runtime gives a real one
//   reactive::Root root(loop, [&](EditBatch b) { send(serialize(b)); });
//   root.provide_context(tooltip_store);
//   root.mount(component(main_window));               // first render, edits out
//   ...
//   root.handle_event(id, "click", data);             // a page event
//   // writes to signals schedule one render pass on the loop; after it the
//   // edits go out through the sink and effects run.
//
// Components are plain functions of a props record:
//
//   struct CounterProps { int step = 1; bool operator==(const CounterProps&) const = default; };
//   Element counter(const CounterProps& p) {
//       auto n = use_signal(0);                     // created once, kept across renders
//       return button().on_click([=](const MouseEvent&) { n.set(n.peek() + p.step); })(
//           fmt::format("{}", n()));
//   }
//   ... component(counter, CounterProps{.step = 2})
//
// Hooks (use_*) are called in the same order on every render.
#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "reactive/dom_edit.h"
#include "reactive/element.h"
#include "reactive/loop.h"
#include "reactive/signal.h"
#include "reactive/task.h"

namespace reactive {

class Page;
namespace detail {
struct PageSlot;
}

using EditSink = std::function<void(EditBatch batch)>;

class Root;
struct LNode;

namespace detail {
struct Instance;
const std::shared_ptr<void>* find_context(Instance* inst, std::type_index t);
Instance* current_instance();
Root* current_root();
[[noreturn]] void hook_misuse(const char* what);
}  // namespace detail

class Root {
public:
    Root(Loop& loop, EditSink sink);
    ~Root();
    Root(const Root&) = delete;
    Root& operator=(const Root&) = delete;

    // A context value for the whole tree (looked up with use_context<T>).
    template <class T>
    void provide_context(T value) {
        contexts_[std::type_index(typeid(T))] = std::make_shared<T>(std::move(value));
    }

    // Renders `root` (usually component(main_window)) into the mount point
    // (id 0): sends the creating edits, then runs the first effects.
    void mount(Element root);
    // Removes everything (removal hooks run, tasks are abandoned).
    void unmount();

    // A page event for element `id`. Returns the listener's decisions, or
    // nothing when the element or its listener is gone. Renders caused by the
    // listener are scheduled on the loop, not run here.
    std::optional<EventResult> handle_event(ElementId id, std::string_view type, const Json& data);

    // Renders what is pending now (the loop does this by itself after writes):
    // renders dirty components, sends one batch, runs effects; repeats while
    // effects made more work.
    void flush();
    bool has_pending() const;

    // The page this root renders into (null until the runtime sets it).
    void set_page(Page* page);
    Page* page() const;

    // Page generation: raised by the runtime after the page was rebuilt.
    std::uint32_t page_generation() const { return generation_.peek(); }
    bool uses_page_generation() const { return uses_generation_; }
    // While recovering, renders run but their edits are discarded.
    bool recovering() const { return recovering_.peek(); }
    // The page is gone: from now on renders are discarded; the root's
    // component sees use_recovering() == true and should render nothing.
    void begin_recovery();
    // A fresh page is ready: raises the generation and sends one batch that
    // builds the whole current tree in it (new page, same element ids).
    void finish_recovery();

    Loop& loop() const { return *loop_; }
    TaskScope& tasks() { return tasks_; }
    std::size_t element_count() const { return elements_.size(); }

private:
    friend struct detail::Instance;
    friend const std::shared_ptr<void>* detail::find_context(detail::Instance*, std::type_index);
    friend struct Differ;
    friend std::uint32_t use_page_generation();
    friend bool use_recovering();

    void schedule(detail::Instance* inst);
    void unschedule(detail::Instance* inst);
    void prune_dirty();
    void request_flush();
    bool render_dirty(EditBatch& out);  // false: stopped with work left
    const std::shared_ptr<void>* find_root_context(std::type_index t) const;

    Loop* loop_;
    Loop* prev_loop_;
    EditSink sink_;
    std::shared_ptr<detail::PageSlot> page_slot_;
    std::unordered_map<std::type_index, std::shared_ptr<void>> contexts_;
    std::unique_ptr<LNode> mount_;  // the mount point, id 0
    std::unordered_map<ElementId, LNode*> elements_;
    std::vector<detail::Instance*> dirty_;
    ElementId next_id_ = 1;
    bool flush_posted_ = false;
    bool flushing_ = false;
    Signal<std::uint32_t> generation_{0};
    Signal<bool> recovering_{false};
    bool uses_generation_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    TaskScope tasks_;
};

// ---- hooks ----------------------------------------------------------------------

namespace detail {
struct HookSlot {
    const std::type_info* type = nullptr;
    std::shared_ptr<void> value;
};
// The next hook slot of the rendering component, created by `make` at the
// first render.
HookSlot& next_hook(const std::type_info& type, const std::function<std::shared_ptr<void>()>& make);
const std::shared_ptr<void>* find_context(Instance* inst, std::type_index t);
void provide_in(Instance* inst, std::type_index t, std::shared_ptr<void> v);
void add_effect_hook(std::function<void()> fn);
TaskScope& instance_scope(Instance* inst);
}  // namespace detail

// State kept across renders, created by `init()` at the first render.
template <class T, class Init>
T& use_hook(Init&& init) {
    auto& slot = detail::next_hook(typeid(T), [&] { return std::static_pointer_cast<void>(std::make_shared<T>(init())); });
    return *std::static_pointer_cast<T>(slot.value);
}

// Plain per-instance state that renders do not follow (a timer handle, the
// value last seen, a counter): created with `initial` at the first render.
// Copies share the value, so listeners and tasks may capture a Ref by value.
template <class T>
class Ref {
public:
    explicit Ref(std::shared_ptr<T> p) : p_(std::move(p)) {}
    T& operator*() const { return *p_; }
    T* operator->() const { return p_.get(); }
    T& get() const { return *p_; }
    void set(T v) const { *p_ = std::move(v); }
    bool operator==(const Ref& o) const { return p_ == o.p_; }

private:
    std::shared_ptr<T> p_;
};
template <class T>
Ref<T> use_ref(T initial) {
    return use_hook<Ref<T>>([&] { return Ref<T>(std::make_shared<T>(std::move(initial))); });
}
template <class F>
auto use_ref_with(F&& make) {
    using T = std::decay_t<decltype(make())>;
    return use_hook<Ref<T>>([&] { return Ref<T>(std::make_shared<T>(make())); });
}

// A component-local signal, created with `initial` at the first render.
template <class T>
Signal<T> use_signal(T initial) {
    return use_hook<Signal<T>>([&] { return Signal<T>(std::move(initial)); });
}
inline Signal<std::string> use_signal(const char* initial) { return use_signal(std::string(initial)); }
template <class F>
auto use_signal_with(F&& make) {
    using T = std::decay_t<decltype(make())>;
    return use_hook<Signal<T>>([&] { return Signal<T>(make()); });
}

template <class T>
Store<T> use_store(T initial) {
    return use_hook<Store<T>>([&] { return Store<T>(std::move(initial)); });
}

// A memo owned by the component. `fn` of the latest render is used for the
// next computation.
template <class F>
auto use_memo(F fn) {
    using T = std::decay_t<decltype(fn())>;
    struct Holder {
        Memo<T> memo;
        std::shared_ptr<std::function<T()>> fn;
    };
    auto& h = use_hook<Holder>([&] {
        auto f = std::make_shared<std::function<T()>>(fn);
        return Holder{Memo<T>([f] { return (*f)(); }), f};
    });
    *h.fn = std::move(fn);
    return h.memo;
}

// An effect of the component: runs after the render that created it and
// again after every change of something it read in its previous run. The
// function of the latest render is the one that runs.
void use_effect(std::function<void()> fn);

// A signal that follows a value the component is given (usually a prop):
// written when the value differs from the previous render's.
template <class T>
Signal<T> use_reactive(const T& value) {
    auto s = use_hook<Signal<T>>([&] { return Signal<T>(value); });
    if (!(s.peek() == value)) s.set(value);
    return s;
}

// A callback with one identity for the life of the component that always
// calls the latest render's `fn`: children given it do not re-render for it.
template <class... Args, class F>
Callback<Args...> use_callback(F fn) {
    struct Hook {
        std::shared_ptr<std::function<void(Args...)>> fn;
        Callback<Args...> cb;
    };
    auto& h = use_hook<Hook>([] {
        auto f = std::make_shared<std::function<void(Args...)>>();
        return Hook{f, Callback<Args...>([f](Args... a) { (*f)(std::forward<Args>(a)...); })};
    });
    *h.fn = std::move(fn);
    return h.cb;
}

// The value of an asynchronous computation, owned by the component.
// `make()` gives the Task; it starts after the first render and starts again
// (the previous run abandoned) when a signal it read before its first
// suspension changes, or on restart(). Empty until a run completes.
template <class T>
class Resource {
public:
    Resource() = default;
    Resource(Signal<std::optional<T>> value, Signal<std::uint64_t> runs) : value_(value), runs_(runs) {}
    const std::optional<T>& operator()() const { return value_(); }
    const std::optional<T>& read() const { return value_(); }
    const std::optional<T>& peek() const { return value_.peek(); }
    void restart() const { runs_.set(runs_.peek() + 1); }
    bool operator==(const Resource& o) const { return value_ == o.value_; }

private:
    Signal<std::optional<T>> value_;
    Signal<std::uint64_t> runs_;
};

namespace detail {
TaskHandle spawn_tracked(Task<void> task);
}

template <class F>
auto use_resource(F make) {
    using TaskT = std::decay_t<decltype(make())>;
    using T = std::decay_t<decltype(std::declval<TaskT&>().await_resume())>;
    struct Hook {
        Signal<std::optional<T>> value;
        Signal<std::uint64_t> runs{0};
        std::shared_ptr<TaskHandle> task = std::make_shared<TaskHandle>();
        std::shared_ptr<F> make;
    };
    auto& h = use_hook<Hook>([&] { return Hook{Signal<std::optional<T>>(std::nullopt), Signal<std::uint64_t>(0), std::make_shared<TaskHandle>(), std::make_shared<F>(make)}; });
    *h.make = std::move(make);
    auto value = h.value;
    auto runs = h.runs;
    auto task = h.task;
    auto mk = h.make;
    use_effect([value, runs, task, mk] {
        (void)runs();
        task->cancel();
        *task = detail::spawn_tracked([](TaskT t, Signal<std::optional<T>> out) -> Task<void> {
            out.set(co_await std::move(t));
        }((*mk)(), value));
    });
    return Resource<T>(h.value, h.runs);
}

// Runs `fn` when the component is removed (the latest render's `fn`).
void use_on_remove(std::function<void()> fn);

// Context lookup: nearest provider above (or the root's). Looked up once, at
// the first render. `use_context` requires a provider (a programming error
// otherwise); `try_use_context` gives nothing without one.
template <class T>
std::optional<T> try_use_context() {
    struct Cached {
        std::optional<T> value;
    };
    auto& c = use_hook<Cached>([] {
        auto* p = detail::find_context(detail::current_instance(), std::type_index(typeid(T)));
        if (!p) return Cached{};
        return Cached{*std::static_pointer_cast<T>(*p)};
    });
    return c.value;
}
template <class T>
T use_context() {
    auto v = try_use_context<T>();
    if (!v) detail::hook_misuse("use_context: no provider of the context above this component");
    return std::move(*v);
}
// Provides `value` to the components below; at the first render only (the
// value is a handle such as a Signal or Store, shared with the children).
template <class T>
T provide_context(T value) {
    return use_hook<T>([&] {
        detail::provide_in(detail::current_instance(), std::type_index(typeid(T)), std::make_shared<T>(value));
        return value;
    });
}

// The page generation (subscribes): 0 at start, raised each time the page
// was rebuilt after its process died. A component that installed page scripts
// installs them again when it sees a new value. Marks the root as one whose
// components follow the generation.
std::uint32_t use_page_generation();
// True while the page is being rebuilt (subscribes). The application's root
// renders nothing (an empty Element) while it is true.
bool use_recovering();

}  // namespace reactive
