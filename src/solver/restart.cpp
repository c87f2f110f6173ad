// Restart decisions: the Luby, glucose and "none" schedules, the restart
// itself (with the walk it may trigger), and restart blocking.
#include <cmath>

#include "solver/solver.hpp"

namespace qn {

// Term k (from 0) of the Luby sequence 1 1 2 1 1 2 4 1 1 2 1 1 2 4 8 ...
double Solver::luby(uint64_t k) {
  uint64_t size = 1;
  int s = 0;
  while (size < k + 1) {
    ++s;
    size = 2 * size + 1;
  }
  while (size - 1 != k) {
    size = (size - 1) / 2;
    --s;
    k = k % size;
  }
  return std::ldexp(1.0, s);
}

// Every policy measures from last_restart, which blocking also moves.
bool Solver::restart_due() const {
  const uint64_t since = stats_.conflicts - last_restart_;
  switch (config_.restart) {
    case RestartPolicy::Luby:
      return luby_limit_ <= static_cast<double>(since);
    case RestartPolicy::Glucose:
      return since >= 50 && lbd_fast_.value * 0.8 > lbd_slow_.value;
    case RestartPolicy::None:
      return false;
  }
  return false;
}

// Restart bookkeeping, then possibly a walk, then back to the root.
void Solver::restart() {
  ++luby_index_;
  luby_limit_ = config_.luby_base * luby(luby_index_);
  last_restart_ = stats_.conflicts;
  ++stats_.restarts;
  if (config_.target_reset > 0 && stats_.restarts % config_.target_reset == 0) target_len_ = 0;
  maybe_walk();
  cancel_until(restart_level());
}

// Called after each conflict's analysis, before backjumping: feeds the glue
// and trail averages and, past 10000 conflicts, postpones the next restart
// while the trail is much longer than usual (the search may be close to a
// model).
void Solver::update_restart_state(uint32_t glue) {
  lbd_fast_.update(glue);
  lbd_slow_.update(glue);
  trail_avg_.update(static_cast<double>(trail_.size()));
  if (config_.block_restart && stats_.conflicts >= 10000 &&
      trail_avg_.value * 1.4 < static_cast<double>(trail_.size())) {
    last_restart_ = stats_.conflicts;
    ++stats_.blocked_restarts;
  }
}

}  // namespace qn
