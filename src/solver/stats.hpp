// The solver's counters, listed once.  QN_SOLVER_STATS(X) applies X to each
// counter in the order of the statistics block, with the counter's place
// among the module's Solver properties (which list them in an order of their
// own); the struct below and those properties both come from it.
#pragma once

#include <cstddef>
#include <cstdint>

#define QN_SOLVER_STATS(X) \
  X(decisions, 1)          \
  X(propagations, 2)       \
  X(conflicts, 0)          \
  X(learned, 4)            \
  X(learned_lits, 8)       \
  X(minimized_lits, 5)     \
  X(restarts, 3)           \
  X(blocked_restarts, 7)   \
  X(reductions, 6)         \
  X(deleted, 9)            \
  X(max_trail, 10)

namespace qn {

// Cumulative counters, never reset.
struct Stats {
#define QN_STAT_FIELD(name, shown_at) uint64_t name = 0;
  QN_SOLVER_STATS(QN_STAT_FIELD)
#undef QN_STAT_FIELD
};

#define QN_STAT_COUNT(name, shown_at) +1
inline constexpr size_t kNumStats = 0 QN_SOLVER_STATS(QN_STAT_COUNT);
#undef QN_STAT_COUNT

}  // namespace qn
