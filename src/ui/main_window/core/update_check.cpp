#include "ui/main_window/core/update_check.h"

#include <fmt/format.h>

#include "api/client.h"
#include "api/update.h"
#include "base/log.h"
#include "reactive/root.h"
#include "shell/update_install.h"
#include "ui/main_window/core/dialogs.h"
#include "ui/main_window/core/project.h"

namespace ui::main_window {

namespace update = api::client::update;

reactive::Task<void> wait_until_no_dialog(WindowState s) {
    while (s.dialog.peek()) co_await reactive::sleep(NO_DIALOG_POLL);
}

reactive::Task<void> check_for_updates(WindowState s, bool manual) {
    auto checking = update::check(api::client::PRODUCT);
    auto latest = co_await std::move(checking);
    if (!latest) {
        if (manual) show_message(s, std::string(update::MESSAGE_TITLE), update::check_failed_text(latest.error()));
        else base::log::info(LOG_TARGET, fmt::format("update check failed: {}", latest.error()));
        co_return;
    }
    if (!*latest) {
        if (manual) show_message(s, std::string(update::UP_TO_DATE_TITLE), update::up_to_date_text(api::client::PRODUCT));
        co_return;
    }
    if (!manual) {
        auto waiting = wait_until_no_dialog(s);
        co_await std::move(waiting);
    }
    show_dialog(s, Dialog{Dialog::UpdateAvailable{**latest}});
}

reactive::Task<void> install_update(WindowState s, api::UpdateInfo info, update::InstallOptions options) {
    auto confirming = confirm_unsaved(s);
    if (!co_await std::move(confirming)) co_return;
    show_dialog(s, Dialog{Dialog::Busy{update::busy_title(info), std::string(update::BUSY_TEXT)}});
    // The workers' threads are joined on this thread before the relaunch.
    auto stop_workers = [s] {
        s.analyzer.set(std::nullopt);
        s.meter.set(std::nullopt);
    };
    auto installing = update::download_and_install_with(api::client::PRODUCT, std::move(info), stop_workers,
                                                        std::move(options));
    const std::string failure = co_await std::move(installing);
    base::log::error(LOG_TARGET, fmt::format("update failed: {}", failure));
    show_message(s, std::string(update::MESSAGE_TITLE), update::install_failed_text(failure));
}

void install_update_handler(WindowState& s) {
    s.install_update = [st = s](api::UpdateInfo info) { reactive::spawn_root(install_update(st, std::move(info))); };
}

void auto_update_check(const WindowState& s) {
    reactive::use_effect([s] { reactive::spawn(check_for_updates(s, false)); });
}

}  // namespace ui::main_window
