// A solve's time limit as a deadline: now + seconds on the monotonic clock,
// with the texts of a seconds-to-duration conversion and of an instant
// overflow for the seconds that have none.
#pragma once

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>

namespace qn {

// nullptr with *out set (reset: a deadline beyond what steady_clock can
// represent, centuries away, is no deadline), or the failure's text.
inline const char *deadline_after(double seconds, std::optional<std::chrono::steady_clock::time_point> *out) {
  if (seconds < 0.0) return "cannot convert float seconds to Duration: value is negative";
  if (std::isnan(seconds) || seconds >= 18446744073709551616.0)
    return "cannot convert float seconds to Duration: value is either too big or NaN";
  uint64_t secs = static_cast<uint64_t>(seconds);
  const long double frac = static_cast<long double>(seconds) - static_cast<long double>(secs);
  uint64_t nanos = static_cast<uint64_t>(std::nearbyint(frac * 1e9L));
  if (nanos >= 1000000000u) {
    secs += 1;
    nanos -= 1000000000u;
  }
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t max_secs = static_cast<uint64_t>(INT64_MAX);
  const uint64_t carry = (static_cast<uint64_t>(now.tv_nsec) + nanos) >= 1000000000u ? 1 : 0;
  if (secs > max_secs || secs > max_secs - static_cast<uint64_t>(now.tv_sec) ||
      secs + static_cast<uint64_t>(now.tv_sec) > max_secs - carry)
    return "overflow when adding duration to instant";
  using namespace std::chrono;
  const auto start = steady_clock::now();
  // Nanoseconds left before steady_clock's largest time point.
  const auto room = static_cast<uint64_t>((steady_clock::time_point::max() - start).count());
  if (secs >= room / 1000000000u) {
    out->reset();
  } else {
    *out = start + nanoseconds(static_cast<int64_t>(secs * 1000000000u + nanos));
  }
  return nullptr;
}

}  // namespace qn
