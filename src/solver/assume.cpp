// Solving under assumptions, MiniSat style: the assumed literals are decided
// first, in order, one decision level each (an empty level when one already
// holds), so every level up to their number belongs to an assumption.
// Restarts go back to level 0 and backjumps below those levels like any
// other; the descent then decides the missing assumptions again before any
// free variable.  With keep_assumed a restart stops at the last assumption
// level instead, and a call starts from the levels it shares with the last
// call's trail; an unsat answer then leaves the trail for the next call.
// Learned clauses follow from the formula alone, so the proof stays a proof
// of the formula whatever was assumed.
#include <algorithm>
#include <new>

#include "core/panic.hpp"
#include "solver/solver.hpp"

namespace qn {

// Repeats are dropped (seen_ marks both signs of a variable, and is clear
// again on return): each level then belongs to a variable of its own, so
// decision levels stay at most nvars, as the glue stamps assume.
void Solver::set_assumptions(const Lit *lits, size_t n) {
  assumptions_.clear();
  for (size_t i = 0; i < n; ++i) {
    const Lit p = lits[i];
    QN_CHECK(var_of(p) < nvars_, "an assumption names a variable the solver does not have");
    const uint8_t bit = is_neg(p) ? 2 : 1;
    if (seen_[var_of(p)] & bit) continue;
    seen_[var_of(p)] |= bit;
    assumptions_.push_back(p);
  }
  for (Lit p : assumptions_) seen_[var_of(p)] = 0;
}

void Solver::ensure_vars(uint64_t n) {
  if (n <= nvars_) return;
  if (n > (uint64_t{1} << 31)) throw std::bad_alloc();
  reserve_vars(n);
  while (nvars_ < n) new_var();
}

// Every level up to min(decision level, assumptions) belongs to an
// assumption and is fully propagated, and clauses added since would have
// sent the trail back to the root: the shared levels are what the call
// would rebuild, with their literals possibly in another order.
uint32_t Solver::shared_assumption_levels() {
  if (!config_.keep_assumed) return 0;
  const size_t top = std::min<size_t>({decision_level(), trail_assumed_.size(), assumptions_.size()});
  size_t k = 0;
  while (k < top && trail_assumed_[k] == assumptions_[k]) ++k;
  trail_assumed_.assign(assumptions_.begin(), assumptions_.end());
  return static_cast<uint32_t>(k);
}

uint32_t Solver::restart_level() const {
  if (!assuming_with(config_.keep_assumed)) return 0;
  return std::min<uint32_t>(decision_level(), static_cast<uint32_t>(assumptions_.size()));
}

// Called at a conflict-free point below the last assumption's level.
bool Solver::assume() {
  const Lit p = assumptions_[decision_level()];
  if (value(p) == kFalse) {
    analyze_final(assuming_with(config_.failed_lowest) ? lowest_false_assumption(p) : p);
    return false;
  }
  trail_lim_.push_back(static_cast<uint32_t>(trail_.size()));
  if (value(p) == kUnassigned) assign(p, kNoReason);
  return true;
}

Lit Solver::lowest_false_assumption(Lit p) const {
  Lit best = p;
  uint32_t best_level = vardata_[var_of(p)].level;
  for (size_t i = decision_level() + 1; i < assumptions_.size() && best_level > 0; ++i) {
    const Lit q = assumptions_[i];
    if (value(q) != kFalse || vardata_[var_of(q)].level >= best_level) continue;
    best = q;
    best_level = vardata_[var_of(q)].level;
  }
  return best;
}

// `p` is an assumption found false.  Walks the trail back from its top to
// the first level, following the reasons of the marked literals: a marked
// literal without a reason is an assumption (only assumptions are decided
// at these levels), and those reached imply the negation of `p` together
// with the formula.  Literals at level 0 follow from the formula alone and
// are not followed.  failed_ gets p, then those assumptions in trail order
// from the top.
void Solver::analyze_final(Lit p) {
  failed_.clear();
  failed_.push_back(p);
  if (decision_level() == 0 || vardata_[var_of(p)].level == 0) return;
  seen_[var_of(p)] = 1;
  for (size_t i = trail_.size(); i-- > trail_lim_[0];) {
    const Lit q = trail_[i];
    const Var v = var_of(q);
    if (!seen_[v]) continue;
    seen_[v] = 0;
    const int32_t r = vardata_[v].reason;
    if (r == kNoReason) {
      failed_.push_back(q);
      continue;
    }
    const Lit *lits = &lits_[static_cast<uint32_t>(r)];
    const uint32_t len = lits[-1];
    for (uint32_t k = 1; k < len; ++k) {
      const Var u = var_of(lits[k]);
      if (vardata_[u].level > 0) seen_[u] = 1;
    }
  }
}

}  // namespace qn
