// shared.text.fixed: a number written with a fixed count of decimals, the
// one way seconds, delays and scores are shown.
#pragma once

#include <string>

namespace shared::text {

// `v` with `decimals` digits after the point, rounded as printf's "%.Nf"
// rounds: fixed(2.5, 2) is "2.50", fixed(59.96, 1) is "60.0".
std::string fixed(double v, int decimals);

}  // namespace shared::text
