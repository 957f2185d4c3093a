#include "shared-ui/components/text_input.h"

#include <functional>
#include <memory>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "reactive/page.h"
#include "reactive/root.h"
#include "shared-ui/markup.h"

namespace shared_ui::components::text_input {

using namespace reactive;

std::string sync_script(const std::string& id, const std::string& value, bool committed, bool scroll_end) {
    auto v = js_string(value);
    return fmt::format(
        "{{ const el = document.getElementById({0}); if (el && ({1} || el !== document.activeElement) && el.value !== "
        "{2}) el.value = {2}; if (el && {3} && el !== document.activeElement) el.scrollLeft = el.scrollWidth; }}",
        js_string(id), committed ? "true" : "false", v, scroll_end ? "true" : "false");
}

std::string focus_out_script(const std::string& id, const std::string& value, bool scroll_end) {
    return fmt::format(
        "{{ const el = document.getElementById({}); if (el) {{ el.value = {}; if ({}) el.scrollLeft = el.scrollWidth; }} "
        "}}",
        js_string(id), js_string(value), scroll_end ? "true" : "false");
}

namespace {
Task<bool> probe_masking(bool masked) {
    if (!masked) co_return false;
    auto r = co_await eval("return CSS.supports('-webkit-text-security', 'disc');").result();
    co_return r && *r == Json(true);
}

Task<void> focus_and_select(ElementHandle el) {
    (void)co_await el.set_focus();
    (void)eval("document.activeElement.select();");
}
}  // namespace

Element text_input(const TextInputProps& p) {
    const std::string& id =
        use_hook<std::string>([] { return fmt::format("text-input-{}", NEXT_ID.fetch_add(1, std::memory_order_relaxed)); });
    auto committed = use_ref(false);
    auto masked = use_reactive(p.masked);
    auto value = use_reactive(p.value);
    auto probe = use_resource(std::function<Task<bool>()>([masked] { return probe_masking(masked()); }));
    use_effect([=, scroll_end = p.scroll_end] {
        const std::string& v = value();
        bool was_committed = *committed;
        *committed = false;
        (void)eval(sync_script(id, v, was_committed, scroll_end));
    });

    bool supported = probe() == std::optional<bool>(true);
    Element e = input();
    e.id(id)
        .attr("type", p.masked && !supported ? "password" : "text")
        .cls(p.masked && supported ? fmt::format("{} masked", p.cls) : p.cls)
        .attr("autocomplete", "off");
    if (p.masked) e.attr("autocorrect", "off").attr("autocapitalize", "off").attr("spellcheck", "false");
    e.attr("style", p.style)
        .attr("placeholder", p.placeholder)
        .default_value(p.value)
        .on_mounted([autofocus = p.autofocus](const MountedEvent& ev) {
            if (autofocus) spawn(focus_and_select(ev.element()));
        })
        .on_focusout([id, v = p.value, scroll_end = p.scroll_end](const FocusEvent&) {
            (void)eval(focus_out_script(id, v, scroll_end));
        })
        .on_input([committed, cb = p.oninput](const InputEvent& ev) {
            *committed = false;
            cb(ev.value);
        })
        .on_keydown([committed, enter = p.onenter, escape = p.onescape](const KeyboardEvent& ev) {
            if (ev.composing) return;
            if (ev.key == "Enter") {
                *committed = true;
                enter();
            } else if (ev.key == "Escape") {
                escape();
            }
        });
    return e;
}

}  // namespace shared_ui::components::text_input
