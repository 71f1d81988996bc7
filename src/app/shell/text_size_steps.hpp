#pragma once

// The steps of the interface text scale that Larger Text and Smaller Text walk: 1.0, 1.15, 1.3, 1.5,
// 1.75 and 2.0. A stored value within 0.01 of a step counts as that step, and a value off the steps
// (a hand-edited settings file) is brought back onto them. Plain arithmetic; nothing fails.

#include <array>

namespace kivo::TextSizeSteps {

inline constexpr std::array<double, 6> steps = {1.0, 1.15, 1.3, 1.5, 1.75, 2.0};
inline constexpr double tolerance = 0.01;
inline constexpr double actual = 1.0;

// The first step above `scale` + 0.01; 2.0 when none is.
double larger(double scale) noexcept;
// The first step, going down, below `scale` − 0.01; 1.0 when none is.
double smaller(double scale) noexcept;

}  // namespace kivo::TextSizeSteps
