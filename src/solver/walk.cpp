// probSAT-style local search over the input clauses.  It starts from the
// current phases, and its best assignment becomes both the saved and the
// target phase.  It changes no clause and no solver assignment.
#include <cmath>

#include "core/panic.hpp"
#include "solver/solver.hpp"

namespace qn {

namespace {

constexpr uint32_t kUnlisted = UINT32_MAX;

// score[b] = (0.9 + b)^-2.06: the weight of a flip that breaks b clauses.
struct BreakScores {
  double v[33];
  BreakScores() {
    for (int b = 0; b <= 32; ++b) v[b] = std::pow(0.9 + b, -2.06);
  }
};
const BreakScores kScores;

}  // namespace

// The walk stays off while there are assumptions: it looks for a model of
// the clauses alone, so the phases it leaves would pull every descent away
// from the assumed literals, and each call would pay for a walk whose best
// assignment the assumptions then overrule.
void Solver::maybe_walk() {
  if (!assumptions_.empty() || config_.walk_flips == 0 || stats_.conflicts < config_.walk_min_conflicts ||
      walk_stalls_ >= config_.walk_patience || config_.walk_interval == 0 ||
      stats_.restarts % config_.walk_interval != 0)
    return;
  cancel_until(0);
  walk();
}

// Walk clauses are the live input clauses of two literals or more, in table
// order; their occurrence lists are kept in CSR form.  The walk never
// changes clauses, so it reads their literals in place in the arena
// (wk_start_ holds arena offsets; the length sits before them).  False when
// there is no walk clause.
bool Solver::walk_build() {
  wk_start_.clear();
  size_t total = 0;
  for (const ClauseHeader &h : headers_) {
    if (h.learnt || h.deleted || len_of(h) < 2) continue;
    wk_start_.push_back(h.start);
    total += len_of(h);
  }
  const size_t ncl = wk_start_.size();
  if (ncl == 0) return false;
  QN_CHECK(total < UINT32_MAX, "walk clauses too large");
  const Lit *const arena = lits_.data();
  const size_t nlits = 2 * static_cast<size_t>(nvars_);
  wk_occ_start_.assign(nlits + 1, 0);
  for (uint32_t st : wk_start_) {
    for (uint32_t k = st; k < st + arena[st - 1]; ++k) ++wk_occ_start_[arena[k] + 1];
  }
  for (size_t l = 0; l < nlits; ++l) wk_occ_start_[l + 1] += wk_occ_start_[l];
  wk_occ_.resize(total);
  // Filling in clause order keeps each list increasing.
  std::vector<uint32_t> cursor(wk_occ_start_.begin(), wk_occ_start_.end() - 1);
  for (size_t c = 0; c < ncl; ++c) {
    const uint32_t st = wk_start_[c];
    for (uint32_t k = st; k < st + arena[st - 1]; ++k) wk_occ_[cursor[arena[k]]++] = static_cast<uint32_t>(c);
  }
  return true;
}

// The starting assignment: the phases, with root assignments imposed; then
// the true-literal counts, the break counts and the unsatisfied list in
// clause order.
void Solver::walk_start() {
  const Lit *const arena = lits_.data();
  const size_t ncl = wk_start_.size();
  const std::vector<uint8_t> &from = config_.target_phase ? target_ : phase_;
  wk_assign_.assign(from.begin(), from.end());
  for (Lit p : trail_) wk_assign_[var_of(p)] = is_neg(p) ? 0 : 1;
  wk_count_.assign(ncl, WalkCount{0, 0});
  wk_break_.assign(nvars_, 0);
  wk_unsat_.clear();
  wk_pos_.assign(ncl, kUnlisted);
  for (size_t c = 0; c < ncl; ++c) {
    WalkCount n{0, 0};
    const uint32_t st = wk_start_[c];
    for (uint32_t k = st; k < st + arena[st - 1]; ++k) {
      const Var v = var_of(arena[k]);
      if (wk_assign_[v] != (arena[k] & 1u)) {
        ++n.true_lits;
        n.xor_vars ^= v;
      }
    }
    wk_count_[c] = n;
    if (n.true_lits == 1) ++wk_break_[n.xor_vars];
    if (n.true_lits == 0) {
      wk_pos_[c] = static_cast<uint32_t>(wk_unsat_.size());
      wk_unsat_.push_back(static_cast<uint32_t>(c));
    }
  }
  wk_best_.assign(wk_assign_.begin(), wk_assign_.end());
  wk_flipped_.clear();
}

// Picks a random unsatisfied clause, then one of its variables with a
// probability that falls with the number of clauses flipping it breaks.
// Draws twice from the generator.
Var Solver::walk_pick() {
  const Lit *const arena = lits_.data();
  const uint32_t pick = wk_unsat_[random_index(wk_unsat_.size())];
  wk_cand_.clear();
  wk_weight_.clear();
  double sum = 0.0;
  const uint32_t st = wk_start_[pick];
  for (uint32_t k = st; k < st + arena[st - 1]; ++k) {
    const Var v = var_of(arena[k]);
    const uint32_t brk = wk_break_[v];
    const double w = kScores.v[brk < 32 ? brk : 32];
    wk_cand_.push_back(v);
    wk_weight_.push_back(w);
    sum += w;
  }
  const double threshold = to_unit(next_random()) * sum;
  double run = 0.0;
  for (size_t i = 0; i < wk_cand_.size(); ++i) {
    run += wk_weight_[i];
    if (run >= threshold) return wk_cand_[i];
  }
  return wk_cand_.back();
}

// Flips v, updating the true counts, the break counts and the unsatisfied
// list through the two occurrence lists of v.
void Solver::walk_flip(Var v) {
  const Lit now_false = mk_lit(v, wk_assign_[v] == 0);
  const Lit now_true = now_false ^ 1;
  wk_assign_[v] ^= 1;
  wk_flipped_.push_back(v);
  uint32_t *const brk = wk_break_.data();
  for (uint32_t o = wk_occ_start_[now_false]; o < wk_occ_start_[now_false + 1]; ++o) {
    const uint32_t c = wk_occ_[o];
    WalkCount &n = wk_count_[c];
    n.xor_vars ^= v;
    if (--n.true_lits == 0) {
      --brk[v];
      wk_pos_[c] = static_cast<uint32_t>(wk_unsat_.size());
      wk_unsat_.push_back(c);
    } else if (n.true_lits == 1) {
      ++brk[n.xor_vars];
    }
  }
  for (uint32_t o = wk_occ_start_[now_true]; o < wk_occ_start_[now_true + 1]; ++o) {
    const uint32_t c = wk_occ_[o];
    WalkCount &n = wk_count_[c];
    if (n.true_lits == 0) {
      ++brk[v];
      const uint32_t pos = wk_pos_[c];
      const uint32_t last = wk_unsat_.back();
      wk_unsat_[pos] = last;
      wk_pos_[last] = pos;
      wk_unsat_.pop_back();
      wk_pos_[c] = kUnlisted;
    } else if (n.true_lits == 1) {
      --brk[n.xor_vars];
    }
    ++n.true_lits;
    n.xor_vars ^= v;
  }
}

// Stall bookkeeping, the best assignment into both phase arrays, and the
// walk's memory given back.
void Solver::walk_finish(uint64_t best_count) {
  if (best_count < best_walk_unsat_) {
    best_walk_unsat_ = best_count;
    walk_stalls_ = 0;
  } else {
    ++walk_stalls_;
  }
  for (Var v = 0; v < nvars_; ++v) {
    target_[v] = wk_best_[v];
    phase_[v] = wk_best_[v];
  }
  target_len_ = 0;
  target_copied_ = 0;

  // Walks are rare and their tables are as large as the formula: give the
  // memory back rather than carry it through the search.
  for (auto *v : {&wk_start_, &wk_occ_start_, &wk_occ_, &wk_break_, &wk_unsat_, &wk_pos_})
    std::vector<uint32_t>().swap(*v);
  std::vector<WalkCount>().swap(wk_count_);
  std::vector<uint8_t>().swap(wk_assign_);
  std::vector<uint8_t>().swap(wk_best_);
  std::vector<Var>().swap(wk_flipped_);
}

void Solver::walk() {
  const auto started = std::chrono::steady_clock::now();
  if (!walk_build()) return;
  walk_start();
  uint64_t best_count = wk_unsat_.size();
  uint64_t flips = 0;
  while (!wk_unsat_.empty()) {
    const Var v = walk_pick();
    ++flips;
    walk_flip(v);
    if (wk_unsat_.size() < best_count) {
      best_count = wk_unsat_.size();
      // Bring `best` up to `assign` by replaying the flips since last time.
      for (Var f : wk_flipped_) wk_best_[f] = wk_assign_[f];
      wk_flipped_.clear();
    }
    if (flips == config_.walk_flips) break;
  }
  ++walk_effort_.walks;
  walk_effort_.flips += flips;
  walk_effort_.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  walk_finish(best_count);
}

}  // namespace qn
