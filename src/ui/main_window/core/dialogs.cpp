#include "ui/main_window/core/dialogs.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>

#include "api/client.h"
#include "api/notes_html.h"
#include "shared-ui/components/button.h"

namespace ui::main_window {

using reactive::Element;
using reactive::div;

void show_dialog(const WindowState& s, Dialog d) {
    std::optional<reactive::OneshotSender<Answer>> old;
    s.dialog_reply.update([&](auto& reply) { old.swap(reply); });
    old.reset();  // wakes a waiting ask with Cancel
    s.dialog.set(std::move(d));
}

void show_message(const WindowState& s, std::string title, std::string text) {
    show_dialog(s, Dialog{Dialog::Message{std::move(title), api::client::update::notes_html(text)}});
}

void answer_dialog(const WindowState& s, Answer a) {
    s.dialog.set(std::nullopt);
    std::optional<reactive::OneshotSender<Answer>> reply;
    s.dialog_reply.update([&](auto& r) { reply.swap(r); });
    if (reply && *reply) reply->send(a);
}

reactive::Task<Answer> ask(WindowState s, Dialog d) {
    auto [tx, rx] = reactive::oneshot<Answer>();
    show_dialog(s, std::move(d));
    s.dialog_reply.set(std::optional<reactive::OneshotSender<Answer>>(std::move(tx)));
    auto answer = co_await rx;
    co_return answer.value_or(Answer::Cancel);
}

void dialog_action(const WindowState& s) {
    const auto open = s.dialog.peek();
    if (!open) return;
    if (open->is<Dialog::Message>()) {
        s.dialog.set(std::nullopt);
    } else if (const auto* offer = std::get_if<Dialog::UpdateAvailable>(&open->kind)) {
        const auto info = offer->info;
        s.dialog.set(std::nullopt);
        if (s.install_update) s.install_update(info);
    } else if (open->is<Dialog::StartMeasurement>()) {
        s.dialog.set(std::nullopt);
        if (s.start_analyzer) s.start_analyzer();
    } else if (open->is<Dialog::UnsavedChanges>() || open->is<Dialog::RecoverChanges>()) {
        answer_dialog(s, Answer::Confirm);
    }
}

reactive::Task<void> dialog_pause() { co_await reactive::sleep(DIALOG_PAUSE); }

reactive::Task<std::optional<base::Result<Path>>> save_as(WindowState s, std::string title, std::string suggested,
                                                          std::string filter_name, std::vector<std::string> extensions,
                                                          std::string contents) {
    co_await dialog_pause();
    if (!s.host || !s.host->save_panel) co_return std::nullopt;
    // Named, not a temporary of the co_await expression (g++ 12 mishandles those).
    FilePanel panel{.title = std::move(title),
                    .suggested_name = std::move(suggested),
                    .folder = std::nullopt,
                    .filter_name = std::move(filter_name),
                    .extensions = std::move(extensions)};
    auto pending = s.host->save_panel(std::move(panel));
    auto chosen = co_await std::move(pending);
    if (!chosen) co_return std::nullopt;
    std::FILE* f = std::fopen(chosen->c_str(), "wb");
    if (!f) co_return base::Result<Path>(base::fail(api::client::os_error_text(errno)));
    const bool ok = std::fwrite(contents.data(), 1, contents.size(), f) == contents.size();
    const int err = errno;
    const bool closed = std::fclose(f) == 0;
    if (!ok || !closed) co_return base::Result<Path>(base::fail(api::client::os_error_text(ok ? errno : err)));
    co_return base::Result<Path>(*chosen);
}



namespace {

struct Buttons {
    std::optional<std::string> dismiss;
    std::optional<std::string> alternative;
    std::string primary;
};

Element flat_button(const std::string& label, reactive::Callback<> on) {
    using namespace shared_ui::components::button;
    return reactive::component(default_button,
                               ButtonProps{.button_type = ButtonType::Flat,
                                           .label = label,
                                           .onclick = [on](const reactive::MouseEvent&) { on(); }},
                               "default_button");
}

}  // namespace

Element message_dialog(const MessageDialogProps& p) {
    std::string title, body;
    std::optional<Buttons> buttons;
    std::visit(
        [&](const auto& d) {
            using D = std::decay_t<decltype(d)>;
            if constexpr (std::is_same_v<D, Dialog::Message>) {
                title = d.title;
                body = d.html;
                buttons = Buttons{std::nullopt, std::nullopt, "OK"};
            } else if constexpr (std::is_same_v<D, Dialog::UpdateAvailable>) {
                title = "Update available: " + d.info.version_display;
                body = api::client::update::notes_html(d.info.notes) + "<p>The app will restart to apply the update.</p>";
                buttons = Buttons{"Later", std::nullopt, "Update"};
            } else if constexpr (std::is_same_v<D, Dialog::Busy>) {
                title = d.title;
                body = "<p>" + d.text + "</p>";
            } else if constexpr (std::is_same_v<D, Dialog::StartMeasurement>) {
                title = "Start Measurement";
                body = "<p>Find on start is on: the measurement will search for the delay and replace the current "
                       "one.</p>";
                buttons = Buttons{"Cancel", std::nullopt, "Start"};
            } else if constexpr (std::is_same_v<D, Dialog::UnsavedChanges>) {
                title = "Unsaved Changes";
                body = api::client::update::notes_html("Save changes to " + d.project + "?");
                buttons = Buttons{"Cancel", "Don't Save", "Save"};
            } else {
                title = "Recover Changes";
                body = "<p>The last run ended with unsaved changes. Recover them?</p>";
                buttons = Buttons{std::nullopt, "Discard", "Recover"};
            }
        },
        p.dialog.kind);

    auto card = div().cls("alert-card vertical");
    card(div().cls("alert-title label")(title), div().cls("alert-content label").inner_html(body));
    if (buttons) {
        auto right = div().cls("horizontal");
        if (buttons->alternative) right(flat_button(*buttons->alternative, p.on_decline));
        right(div().cls("alert-button-submit")(flat_button(buttons->primary, p.on_confirm)));
        card(div().cls("horizontal space-between")(
            buttons->dismiss ? flat_button(*buttons->dismiss, p.on_cancel) : div(), right));
    }
    return div().cls("alert-background")(card);
}

}  // namespace ui::main_window
