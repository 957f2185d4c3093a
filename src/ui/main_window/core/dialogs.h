#pragma once
// Dialogs: at most one modal dialog at a time, drawn in the page over
// everything else. A fire-and-forget dialog is opened with `show_dialog`; a
// question with `ask`, which suspends its task until the answer comes back
// over a one-shot channel. Showing another dialog answers a waiting question
// with Cancel.
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "reactive/element.h"
#include "reactive/task.h"
#include "ui/main_window/core/state.h"

namespace ui::main_window {

// Drops a waiting question's reply channel (it then returns Cancel) and
// opens `d`.
void show_dialog(const WindowState& s, Dialog d);
// A Message dialog whose body is `text` in the dialog notation.
void show_message(const WindowState& s, std::string title, std::string text);
// Closes the dialog and sends `a` to the waiting question, if any.
void answer_dialog(const WindowState& s, Answer a);
// Opens `d` and waits for its answer; Cancel when it was replaced.
reactive::Task<Answer> ask(WindowState s, Dialog d);
// The primary action of the open dialog (Enter, the primary button).
void dialog_action(const WindowState& s);

// The pause every native file dialog of the window waits first.
inline constexpr reactive::Duration DIALOG_PAUSE = std::chrono::milliseconds(150);
reactive::Task<void> dialog_pause();

// Asks for a path with the save panel and writes `contents` there in one
// plain write: nothing when cancelled, else the path or the write error.
reactive::Task<std::optional<base::Result<Path>>> save_as(WindowState s, std::string title, std::string suggested,
                                                          std::string filter_name, std::vector<std::string> extensions,
                                                          std::string contents);


struct MessageDialogProps {
    Dialog dialog;
    reactive::Callback<> on_confirm;
    reactive::Callback<> on_decline;
    reactive::Callback<> on_cancel;
    bool operator==(const MessageDialogProps&) const = default;
};
// The open dialog's card.
reactive::Element message_dialog(const MessageDialogProps& p);

}  // namespace ui::main_window
