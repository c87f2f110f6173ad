// The search loop: propagation, conflicts, decisions with saved or target
// phases, limits.  Restart decisions live in restart.cpp.
#include "solver/solver.hpp"

namespace qn {

// Remembers the longest assignment seen as the target phase.
void Solver::update_target() {
  if (!config_.target_phase || trail_.size() <= target_len_) return;
  target_len_ = trail_.size();
  for (size_t i = target_copied_; i < trail_.size(); ++i) target_[var_of(trail_[i])] = is_neg(trail_[i]) ? 0 : 1;
  target_copied_ = trail_.size();
}

bool Solver::decide() {
  // Without random decisions, what the heap holds matters and not how: the
  // variables a full trail leaves in it need not be popped one by one.
  if (config_.rnd_freq == 0 && trail_.size() == nvars_) return false;
  Var next = 0;
  bool found = false;
  if (config_.rnd_freq > 0) {
    const double r = to_unit(next_random());
    if (r < config_.rnd_freq && !heap_.empty()) {
      const Var v = heap_[random_index(heap_.size())].var;
      if (value(mk_lit(v)) == kUnassigned) {
        next = v;
        found = true;
      }
    }
  }
  while (!found) {
    if (heap_.empty()) return false;
    const Var v = heap_pop();
    if (value(mk_lit(v)) == kUnassigned) {
      next = v;
      found = true;
    }
  }
  ++stats_.decisions;
  trail_lim_.push_back(static_cast<uint32_t>(trail_.size()));
  const bool positive = config_.target_phase ? target_[next] != 0 : phase_[next] != 0;
  assign(mk_lit(next, !positive), kNoReason);
  return true;
}

// The outer loop alternates a descent (propagations and decisions up to a
// conflict, a restart or an answer) with the handling of that conflict.
// Once the call's conflict limit is reached no decision is made: the call
// ends at the first propagation without a conflict.
uint8_t Solver::solve(std::optional<uint64_t> max_conflicts) {
  used_ = true;
  failed_.clear();
  if (!ok_) return kUnsat;
  model_.clear();
  cancel_until(shared_assumption_levels());
  uint64_t n = 0;  // conflicts in this call
  for (;;) {
    const bool limited = max_conflicts.has_value() && n >= *max_conflicts;
    int32_t confl = kNoReason;
    std::optional<uint8_t> answer = limited ? propagate_at_limit(&confl) : descend(n, &confl);
    if (!answer && confl != kNoReason) answer = on_conflict(confl, n);
    if (answer) return *answer;
  }
}

// Propagates and decides until a conflict (left in *confl), a restart
// (*confl stays kNoReason) or an answer: unsat from root simplification,
// sat when every variable is assigned, unknown at the deadline.
std::optional<uint8_t> Solver::descend(uint64_t n, int32_t *confl) {
  for (;;) {
    *confl = propagate();
    if (*confl != kNoReason) return std::nullopt;
    update_target();
    if (n % 256 == 0 && deadline_ && std::chrono::steady_clock::now() >= *deadline_) {
      cancel_until(0);
      return kUnknown;
    }
    if (restart_due()) {
      restart();
      return std::nullopt;
    }
    if (decision_level() == 0 && stats_.propagations > simplify_props_ && !simplify()) return kUnsat;
    if (decision_level() == 0 && !maybe_vivify()) return kUnsat;
    if (decision_level() < assumptions_.size()) {
      if (assume()) continue;
      if (!assuming_with(config_.keep_assumed)) cancel_until(0);
      return kUnsat;
    }
    if (!decide()) {
      model_.resize(nvars_);
      for (Var v = 0; v < nvars_; ++v) model_[v] = values_[2 * static_cast<size_t>(v)] == kTrue;
      return kSat;
    }
  }
}

std::optional<uint8_t> Solver::propagate_at_limit(int32_t *confl) {
  *confl = propagate();
  if (*confl != kNoReason) return std::nullopt;
  update_target();
  cancel_until(0);
  return kUnknown;
}

// Counts the conflict, then stops (stop flag), refutes (conflict at the
// root) or learns from it; nullopt when the search goes on.
std::optional<uint8_t> Solver::on_conflict(int32_t confl, uint64_t &n) {
  ++stats_.conflicts;
  if (stop_ && stop_->load(std::memory_order_relaxed)) {
    cancel_until(0);
    return kUnknown;
  }
  if (decision_level() == 0) {
    refute();
    return kUnsat;
  }
  ++n;
  const uint32_t backjump = analyze(confl);
  const uint32_t glue = compute_glue(learnt_.data(), learnt_.size());
  update_restart_state(glue);
  learn(backjump, glue);
  reduce_db();
  return std::nullopt;
}

}  // namespace qn
