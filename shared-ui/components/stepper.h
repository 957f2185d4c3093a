#pragma once
// The number stepper: a number field between a minus and a plus button. It
// shows the value it is given with a fixed number of decimals (trailing zeros
// cut) and reports every change through `onchange`; the parent owns, limits
// and renders the value back. Typed text is committed on Enter or when the
// field loses focus (shared_ui::parse_decimal); text that is not a number is
// replaced by the value.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "reactive/element.h"

namespace shared_ui::components::stepper {

// Numbers of the fields' element ids ("stepper-input-{n}"), never reused.
inline std::atomic<std::uint64_t> NEXT_ID{0};

struct StepperProps {
    double value = 0;
    double step = 1;
    bool disabled = false;
    reactive::Callback<double> onchange{};
    std::size_t decimals = 1;  // 0 to 65535

    bool operator==(const StepperProps&) const = default;
};

// The field's text: `value` with `decimals` digits (ties to even), trailing
// zeros and point cut, "-0" shown as "0"; empty when disabled.
std::string display_text(double value, std::size_t decimals, bool disabled);

reactive::Element default_stepper(const StepperProps& p);

}  // namespace shared_ui::components::stepper
