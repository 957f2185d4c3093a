#pragma once
// The modal interface's vocabulary: the open dialog, the answer to a
// question, and the open name or confirmation prompt. Plain values: they are
// copied into components and tasks and carry no handles.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "api/product.h"

namespace ui::main_window {

// The open modal dialog.
struct Dialog {
    // An error or information message; `html` is shown as it is.
    struct Message {
        std::string title;
        std::string html;
        bool operator==(const Message&) const = default;
    };
    // A newer version is offered.
    struct UpdateAvailable {
        api::UpdateInfo info;
        bool operator==(const UpdateAvailable&) const = default;
    };
    // Work the user waits for (never escaped, cannot be closed by the user).
    struct Busy {
        std::string title;
        std::string text;
        bool operator==(const Busy&) const = default;
    };
    // Run while find_on_start is set.
    struct StartMeasurement {
        bool operator==(const StartMeasurement&) const = default;
    };
    // The unsaved-changes question, with the project name.
    struct UnsavedChanges {
        std::string project;
        bool operator==(const UnsavedChanges&) const = default;
    };
    // The start-up question about an autosave left by the last run.
    struct RecoverChanges {
        bool operator==(const RecoverChanges&) const = default;
    };

    std::variant<Message, UpdateAvailable, Busy, StartMeasurement, UnsavedChanges, RecoverChanges> kind;

    template <class V>
    bool is() const {
        return std::holds_alternative<V>(kind);
    }
    bool operator==(const Dialog&) const = default;
};

// The reply to a question, sent once.
enum class Answer : std::uint8_t {
    Confirm = 0,  // Save, Recover
    Decline = 1,  // Don't Save, Discard
    Cancel = 2,   // dismiss button, Escape, or a question replaced or abandoned
};

// The open name or confirmation prompt.
struct Prompt {
    struct NewPosition {
        bool operator==(const NewPosition&) const = default;
    };
    struct RenamePosition {
        std::string position;
        bool operator==(const RenamePosition&) const = default;
    };
    struct DeletePosition {
        std::string position;
        bool operator==(const DeletePosition&) const = default;
    };
    struct NewSource {
        bool operator==(const NewSource&) const = default;
    };
    struct RenameSource {
        std::string source;
        bool operator==(const RenameSource&) const = default;
    };
    struct DeleteSource {
        std::string source;
        bool operator==(const DeleteSource&) const = default;
    };
    struct Capture {
        std::string source;  // may be empty
        bool operator==(const Capture&) const = default;
    };
    struct RenameTrace {
        std::size_t trace = 0;
        bool operator==(const RenameTrace&) const = default;
    };
    struct DeleteTrace {
        std::size_t trace = 0;
        bool operator==(const DeleteTrace&) const = default;
    };
    struct SendToWing {
        std::string target;  // "bus 1"
        bool operator==(const SendToWing&) const = default;
    };

    std::variant<NewPosition, RenamePosition, DeletePosition, NewSource, RenameSource, DeleteSource, Capture,
                 RenameTrace, DeleteTrace, SendToWing>
        kind;

    template <class V>
    bool is() const {
        return std::holds_alternative<V>(kind);
    }
    bool operator==(const Prompt&) const = default;
};

}  // namespace ui::main_window
