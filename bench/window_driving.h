#pragma once
// What the window benchmarks share: the tests' driver of the real window,
// and timing.

#include <chrono>

#include "tests/support/window_driver.h"

namespace keyscour::bench {

using Clock = std::chrono::steady_clock;
using testing::FormDriver;
using testing::MessageBoxAnswerer;
using testing::Pump;
using testing::RootIndex;

inline double MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace keyscour::bench
