#include "shared-ui/components/dropdown.h"

#include <algorithm>
#include <memory>
#include <typeindex>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/root.h"
#include "shared-ui/components/button.h"
#include "shared-ui/events.h"

namespace shared_ui::components::dropdown {

using namespace reactive;

namespace {
constexpr double MIN_WIDTH = 160;
constexpr double GAP = 4;
constexpr double MARGIN = 8;
constexpr double MIN_HEIGHT = 80;
constexpr double MAX_HEIGHT = 320;

using HandleCell = Ref<std::optional<ElementHandle>>;

Task<void> open_list(std::vector<Choice> options, std::string value, Callback<Choice> onchange, HandleCell container,
                     OpenList open) {
    if (!*container) co_return;
    ElementHandle el = **container;
    auto r = co_await el.client_rect();
    if (!r) co_return;
    auto size = eval("send([window.innerWidth, window.innerHeight]);");
    auto reply = co_await size.recv();
    auto [w, h] = window_size(reply ? std::optional<Json>(*reply) : std::nullopt);
    auto at = place_list(*r, w, h);
    open.set(OpenDropdown{std::move(options), std::move(value), std::move(onchange), at.left, at.offset, at.min_width,
                          at.max_height, at.upward});
}
}  // namespace

ListPlace place_list(const Rect& c, double window_w, double window_h) {
    ListPlace p;
    p.min_width = std::max(c.width, MIN_WIDTH);
    p.left = std::max(std::min(c.x, window_w - p.min_width - MARGIN), MARGIN);
    double below = window_h - (c.y + c.height) - GAP - MARGIN;
    double above = c.y - GAP - MARGIN;
    p.upward = below < std::min(above, MAX_HEIGHT) && above > below;
    double room = p.upward ? above : below;
    p.offset = p.upward ? window_h - c.y + GAP : c.y + c.height + GAP;
    p.max_height = std::max(std::min(room, MAX_HEIGHT), MIN_HEIGHT);
    return p;
}

std::pair<double, double> window_size(const std::optional<Json>& reply) {
    if (reply && reply->is_array() && reply->size() == 2 && (*reply)[0].is_number() && (*reply)[1].is_number())
        return {(*reply)[0].get<double>(), (*reply)[1].get<double>()};
    return {1280, 800};
}

std::string caption(const DropdownProps& p) {
    if (p.text) return *p.text;
    for (const auto& [key, label] : p.options)
        if (key == p.value) return label;
    return {};
}

std::string list_style(const OpenDropdown& r) {
    std::string vertical = r.upward ? fmt::format("top: auto; bottom: {}px;", markup_number(r.offset))
                                    : fmt::format("top: {}px; bottom: auto;", markup_number(r.offset));
    return fmt::format("left: {}px; {} min-width: {}px; max-height: {}px;", markup_number(r.left), vertical,
                       markup_number(r.min_width), markup_number(r.max_height));
}

Element dropdown(const DropdownProps& p) {
    struct State {
        std::optional<OpenList> open;
        HandleCell container{std::make_shared<std::optional<ElementHandle>>()};
        Callback<Choice> onchange;  // of the latest render
    };
    auto open = try_use_context<OpenList>();
    auto st = use_ref_with([&] {
        State s;
        s.open = open;
        return s;
    });
    st->onchange = p.onchange;
    use_on_remove([st] {
        if (st->open && st->open->peek() && st->open->peek()->onchange == st->onchange) st->open->set(std::nullopt);
    });
    auto onclick = use_callback<const MouseEvent&>([st, options = p.options, value = p.value,
                                                    onchange = p.onchange](const MouseEvent&) {
        if (!st->open) return;
        if (st->open->peek()) {
            st->open->set(std::nullopt);
            return;
        }
        spawn(open_list(options, value, onchange, st->container, *st->open));
    });
    return div()
        .cls(fmt::format("dropdown-container dropdown no-min-width {}", p.fill ? "fill" : ""))
        .on_mounted([st](const MountedEvent& e) { *st->container = e.element(); })(component(
            button::default_button, button::ButtonProps{.label = caption(p), .chevron = true, .onclick = onclick},
            "default_button"));
}

Element global_dropdown() {
    auto open = use_context<OpenList>();
    const auto& r = open();
    if (!r) return Element();
    std::vector<Element> items;
    items.reserve(r->options.size());
    for (const Choice& c : r->options) {
        items.push_back(div()
                            .cls(c.first == r->value ? "dropdown-link dropdown-current" : "dropdown-link")
                            .on_click([open, c, cb = r->onchange](const MouseEvent&) {
                                open.set(std::nullopt);
                                cb(c);
                            })(div().cls("label nowrap-elipsis")(c.second)));
    }
    return fragment(div().cls("dropdown-overlay dropdown-global-overlay").on_click([open](const MouseEvent&) {
        open.set(std::nullopt);
    }),
                    div().cls("dropdown-content dropdown-global").attr("style", list_style(*r))(std::move(items)));
}

void close_open_dropdown() {
    auto* inst = reactive::detail::current_instance();
    if (!inst)
        inst = events::handler_component();
    const std::shared_ptr<void>* found = reactive::detail::find_context(inst, std::type_index(typeid(OpenList)));
    if (!found) return;
    const OpenList& open = *std::static_pointer_cast<OpenList>(*found);
    if (open.peek()) open.set(std::nullopt);
}

}  // namespace shared_ui::components::dropdown
