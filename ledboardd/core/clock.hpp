// The clock the core keeps time by: monotonic, so that a change of the system's time moves no read
// and no gesture.
#pragma once

#include <chrono>

namespace ledboardd {

using Clock = std::chrono::steady_clock;

} // namespace ledboardd
