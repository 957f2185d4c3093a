#include "ui/main_window/update_check.h"

#include <fmt/format.h>

#include "api/client.h"
#include "api/update.h"
#include "base/log.h"
#include "reactive/root.h"
#include "shell/update_install.h"
#include "ui/main_window/dialogs.h"

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

void auto_update_check(const WindowState& s) {
    reactive::use_effect([s] { reactive::spawn(check_for_updates(s, false)); });
}

}  // namespace ui::main_window
