// The search loop: propagation, conflicts, restarts (Luby, glucose, none)
// with restart blocking, decisions with saved or target phases, limits.
#include <cmath>

#include "core/panic.hpp"
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

bool Solver::restart_due() const {
  const uint64_t since = stats_.conflicts - last_restart_;
  switch (config_.restart) {
    case RestartPolicy::Luby:
      return config_.luby_base * luby(luby_index_) <= static_cast<double>(since);
    case RestartPolicy::Glucose:
      return since >= 50 && lbd_fast_.value * 0.8 > lbd_slow_.value;
    case RestartPolicy::None:
      return false;
  }
  return false;
}

// Remembers the longest assignment seen as the target phase.
void Solver::update_target() {
  if (!config_.target_phase || trail_.size() <= target_len_) return;
  target_len_ = trail_.size();
  for (size_t i = target_copied_; i < trail_.size(); ++i) target_[var_of(trail_[i])] = is_neg(trail_[i]) ? 0 : 1;
  target_copied_ = trail_.size();
}

bool Solver::decide() {
  Var next = 0;
  bool found = false;
  if (config_.rnd_freq > 0) {
    const double r = to_unit(next_random());
    if (r < config_.rnd_freq && !heap_.empty()) {
      const double x = to_unit(next_random()) * static_cast<double>(heap_.size());
      const Var v = heap_[static_cast<size_t>(x)];
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

uint8_t Solver::solve(std::optional<uint64_t> max_conflicts) {
  used_ = true;
  if (!ok_) return kUnsat;
  model_.clear();
  cancel_until(0);
  uint64_t n = 0;  // conflicts in this call
  for (;;) {
    const bool limited = max_conflicts.has_value() && n >= *max_conflicts;
    int32_t confl = kNoReason;
    if (!limited) {
      bool restarted = false;
      for (;;) {
        confl = propagate();
        if (confl != kNoReason) break;
        update_target();
        if (n % 256 == 0 && deadline_ && std::chrono::steady_clock::now() >= *deadline_) {
          cancel_until(0);
          return kUnknown;
        }
        if (restart_due()) {
          ++luby_index_;
          last_restart_ = stats_.conflicts;
          ++stats_.restarts;
          if (config_.target_reset > 0 && stats_.restarts % config_.target_reset == 0) target_len_ = 0;
          maybe_walk();
          cancel_until(0);
          restarted = true;
          break;
        }
        if (decision_level() == 0 && stats_.propagations > simplify_props_) {
          if (!simplify()) return kUnsat;
        }
        if (!decide()) {
          model_.resize(nvars_);
          for (Var v = 0; v < nvars_; ++v) model_[v] = values_[2 * static_cast<size_t>(v)] == kTrue;
          return kSat;
        }
      }
      if (restarted) continue;
    } else {
      confl = propagate();
      if (confl == kNoReason) {
        update_target();
        cancel_until(0);
        return kUnknown;
      }
    }

    ++stats_.conflicts;
    if (stop_ && stop_->load(std::memory_order_relaxed)) {
      cancel_until(0);
      return kUnknown;
    }
    if (decision_level() == 0) {
      log_add(nullptr, 0);
      ok_ = false;
      return kUnsat;
    }
    ++n;
    const uint32_t backjump = analyze(confl);
    const uint32_t glue = compute_glue(learnt_.data(), learnt_.size());
    lbd_fast_.update(glue);
    lbd_slow_.update(glue);
    trail_avg_.update(static_cast<double>(trail_.size()));
    if (config_.block_restart && stats_.conflicts >= 10000 && trail_avg_.value * 1.4 < static_cast<double>(trail_.size())) {
      last_restart_ = stats_.conflicts;
      ++stats_.blocked_restarts;
    }
    learn(backjump, glue);
    reduce_db();
  }
}

}  // namespace qn
