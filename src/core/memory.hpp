// The physical-memory guard.  Tables sized up front for a caller-chosen
// count (variables, literals) are checked against the machine's physical
// memory before anything is reserved: with memory overcommit a reservation
// that can never be backed "succeeds" and the process is killed later,
// while the pages are zero-filled.  A refusal is a std::bad_alloc, thrown
// before any change.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <new>

namespace qn {

// Arithmetic on byte counts that saturates at UINT64_MAX, a size that never
// fits.
inline constexpr uint64_t mul_sat(uint64_t a, uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}
inline constexpr uint64_t add_sat(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// Physical memory in bytes, UINT64_MAX when the system does not say.
inline uint64_t physical_memory() {
  static const uint64_t bytes = [] {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return UINT64_MAX;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
  }();
  return bytes;
}

// Throws std::bad_alloc unless `bytes` fit in physical memory.
inline void require_memory(uint64_t bytes) {
  if (bytes == UINT64_MAX || bytes > physical_memory()) throw std::bad_alloc();
}

}  // namespace qn
