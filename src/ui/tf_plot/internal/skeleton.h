#pragma once
// Pieces shared by the plot skeletons and the path builders.
#include <cmath>
#include <string>

#include "base/cast.h"
#include "reactive/element.h"

namespace ui::tf_plot::internal {

// A coordinate or level as a whole number, ties to even.
inline long long whole(float v) { return base::saturating_cast<long long>(std::nearbyint(v)); }

// An svg with viewBox "0 0 1000 1000" that stretches with its panel.
reactive::Element plot_svg();
// A path with an id, a class and empty path data.
reactive::Element empty_path(std::string id, std::string cls);
// The empty cursor, ball (when `ball`) and readout the page script drives.
reactive::Element panel_chrome(bool ball);
// The ten frequency labels under a panel, without the 20 Hz one when
// `skip_first`.
reactive::Element freq_labels(bool skip_first);

}  // namespace ui::tf_plot::internal
