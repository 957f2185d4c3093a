#pragma once
// A window's page root built on the reactive framework: the runtime's side of
// reactive::Root (edit sink, page events, script evaluation, element queries)
// and the recovery placeholder.
//
//   webview_host::GtkLoop loop;
//   auto root = std::make_unique<webview_host::ReactiveRoot>(loop, [] { return main_window(); });
//   webview_host::Window window(config, std::move(root));
//
// The render function is the application's root component body: it runs
// inside the runtime's own root component, so its hooks and state belong to
// that component. While the page process is being replaced the runtime shows
// an empty placeholder in place of the function's output (the function still
// runs, so the root's state, effects and tasks go on); the application's root
// needs no knowledge of a recovery.
//
// Components reach their window through use_window() (title, show, focus,
// close request, menus, dialogs).
#include <functional>
#include <memory>

#include "reactive/page.h"
#include "reactive/root.h"
#include "webview-host/window.h"

namespace webview_host {

class ReactiveRoot final : public PageRoot, public reactive::Page {
public:
    using Render = std::function<reactive::Element()>;

    ReactiveRoot(reactive::Loop& loop, Render render);
    ~ReactiveRoot() override;

    reactive::Root& root() { return *root_; }

    // PageRoot
    nlohmann::json render_first() override;
    nlohmann::json render_dirty() override;
    EventReply dispatch(const EventRecord& ev) override;
    void render_placeholder() override;
    bool placeholder_mounted() const override;
    nlohmann::json render_reattach() override;
    bool uses_page_generation() const override;
    void attached(Window& window) override;

    // reactive::Page
    void query(reactive::ElementId id, reactive::QueryKind kind, reactive::Json args, reactive::Reply reply) override;
    void eval(const std::string& script, reactive::EvalFeed feed) override;

    struct Gate;

private:
    std::shared_ptr<Gate> gate_;
    Window* window_ = nullptr;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::unique_ptr<reactive::Root> root_;
};

// The window of the component that is rendering (a hook). Outside a window
// (headless tests) a handle on no window, whose calls do nothing.
WindowContext use_window();

}  // namespace webview_host
