// The command line's time limits on the steady clock (CLOCK_MONOTONIC, what
// Python's time.monotonic reads), converted in one place.
#pragma once

#include <chrono>
#include <optional>

namespace qn::cli {

using Clock = std::chrono::steady_clock;

// A limit of this many seconds or more is no limit (beyond a century; the
// clock could not take it).  The command reads it as _scan.NO_LIMIT_SECONDS.
inline constexpr double kNoLimitSeconds = 3e9;

// now + seconds (a negative limit is now); none for kNoLimitSeconds or
// more, or NaN.
inline std::optional<Clock::time_point> deadline_in(double seconds) {
  if (!(seconds < kNoLimitSeconds)) return std::nullopt;
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(seconds > 0 ? seconds : 0.0));
}

// The time point of clock reading t (seconds; finite).
inline Clock::time_point clock_at(double t) {
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t)));
}

}  // namespace qn::cli
