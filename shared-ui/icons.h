#pragma once
// The kit's icons: SVG files of the lucide-static package (fetched by
// scripts/setup, copied in by the build). Two names may share one file.
#include "shared-ui/asset.h"

namespace shared_ui::icons {

inline constexpr Asset ADD{"icons/plus.svg"};
inline constexpr Asset PLUS{"icons/plus.svg"};
inline constexpr Asset MINUS{"icons/minus.svg"};
inline constexpr Asset DOWN{"icons/chevron-down.svg"};
inline constexpr Asset CHEVRON_DOWN{"icons/chevron-down.svg"};
inline constexpr Asset CHEVRON_RIGHT{"icons/chevron-right.svg"};
inline constexpr Asset CHEVRON_LEFT{"icons/chevron-left.svg"};
inline constexpr Asset DELETE{"icons/x.svg"};
inline constexpr Asset CONFIRM{"icons/check.svg"};
inline constexpr Asset PREVIEW{"icons/eye.svg"};
inline constexpr Asset TEXT_CUE_VISIBILITY_OFF{"icons/eye-off.svg"};
inline constexpr Asset SPEAKER{"icons/speaker.svg"};
inline constexpr Asset CAPTURE{"icons/camera.svg"};
inline constexpr Asset LIGHT_MODE{"icons/sun.svg"};
inline constexpr Asset DARK_MODE{"icons/moon.svg"};
inline constexpr Asset LOCK{"icons/lock.svg"};
inline constexpr Asset PLAY{"icons/play.svg"};
inline constexpr Asset STOP{"icons/square.svg"};
inline constexpr Asset RESET{"icons/rotate-ccw.svg"};
inline constexpr Asset VOLUME{"icons/volume-2.svg"};
inline constexpr Asset TIMECODE{"icons/timer.svg"};
inline constexpr Asset PREDICTED{"icons/chart-spline.svg"};

}  // namespace shared_ui::icons
