// Learned-clause vivification (Config::vivify).  A learned clause C is
// tried at the root: the negations of its literals are decided one by one,
// each followed by propagation.  When a literal of C turns out true, or
// propagation conflicts, the decisions the conflict or the true literal
// rests on (with that literal) form a clause that subsumes C and follows
// from the clauses by unit propagation: it is logged, C is deleted from the
// proof and the shorter clause takes C's place.  Rounds come once per
// reduction, within a share of the search's propagations, lowest glue first.
#include <algorithm>

#include "solver/solver.hpp"

namespace qn {
namespace {

constexpr double kVivifyShare = 0.1;        // of the search's propagations since the last round
constexpr uint64_t kVivifyMinProps = 2000;  // budget of a round, at least
constexpr uint32_t kVivifyMinLen = 3;       // shorter clauses are left as they are

}  // namespace

bool Solver::maybe_vivify() {
  if (!config_.vivify || !assumptions_.empty() || reduce_count_ == vivified_at_reduce_) return true;
  vivified_at_reduce_ = reduce_count_;
  return vivify_round();
}

bool Solver::vivify_round() {
  ++vivify_effort_.rounds;
  const uint64_t start = stats_.propagations;
  const uint64_t budget =
      std::max<uint64_t>(kVivifyMinProps, static_cast<uint64_t>(kVivifyShare * (start - vivify_props_)));
  vivify_schedule();
  bool ok = true;
  for (CRef c : vivify_cands_) {
    if (stats_.propagations - start > budget) break;
    if (headers_[c].deleted) continue;
    headers_[c].vivified = true;
    ++vivify_effort_.tried;
    if (vivify_clause(c) && !vivify_replace(c)) {
      ok = false;
      break;
    }
  }
  vivify_effort_.propagations += stats_.propagations - start;
  vivify_props_ = stats_.propagations;
  maybe_collect_garbage();
  return ok;
}

// The learned clauses not tried yet, lowest glue first, the most active
// first among equal glue.
void Solver::vivify_schedule() {
  vivify_cands_.clear();
  for (CRef c : learnts_) {
    const ClauseHeader &h = headers_[c];
    if (!h.deleted && !h.vivified && len_of(h) >= kVivifyMinLen) vivify_cands_.push_back(c);
  }
  std::stable_sort(vivify_cands_.begin(), vivify_cands_.end(), [this](CRef a, CRef b) {
    const ClauseHeader &x = headers_[a], &y = headers_[b];
    if (x.glue != y.glue) return x.glue < y.glue;
    return x.activity > y.activity;
  });
}

bool Solver::vivify_clause(CRef c) {
  const ClauseHeader &h = headers_[c];
  const uint32_t len = len_of(h);
  // Propagation reorders the clause's literals in the arena: work on a copy.
  vivify_lits_.assign(lits_.begin() + h.start, lits_.begin() + h.start + len);
  for (Lit l : vivify_lits_) {
    if (value(l) != kUnassigned) return false;  // root-assigned: left to root simplification
  }
  vivify_out_.clear();
  for (Lit l : vivify_lits_) {
    const uint8_t v = value(l);
    if (v == kFalse) continue;
    if (v == kTrue) {
      seen_[var_of(l)] = 1;
      vivify_decisions();
      vivify_out_.push_back(l);
      break;
    }
    trail_lim_.push_back(static_cast<uint32_t>(trail_.size()));
    assign(l ^ 1, kNoReason);
    const int32_t confl = propagate();
    if (confl == kNoReason) continue;
    const Lit *k = &lits_[static_cast<uint32_t>(confl)];
    for (uint32_t i = 0; i < k[-1]; ++i) {
      if (vardata_[var_of(k[i])].level > 0) seen_[var_of(k[i])] = 1;
    }
    vivify_decisions();
    break;
  }
  vivify_undo();
  return !vivify_out_.empty() && vivify_out_.size() < len;
}

void Solver::vivify_decisions() {
  for (size_t i = trail_.size(); i-- > trail_lim_[0];) {
    const Var v = var_of(trail_[i]);
    if (!seen_[v]) continue;
    seen_[v] = 0;
    const int32_t r = vardata_[v].reason;
    if (r == kNoReason) {
      vivify_out_.push_back(trail_[i] ^ 1);
      continue;
    }
    const Lit *lits = &lits_[static_cast<uint32_t>(r)];
    for (uint32_t k = 0; k < lits[-1]; ++k) {
      const Var u = var_of(lits[k]);
      if (u != v && vardata_[u].level > 0) seen_[u] = 1;
    }
  }
}

// Every unassigned variable is in the heap, and vivification pops none, so
// only the variables of a clause's levels go back, unordered work skipped.
void Solver::vivify_undo() {
  if (trail_lim_.empty()) return;
  const size_t stop = trail_lim_[0];
  for (size_t i = trail_.size(); i-- > stop;) {
    const Lit p = trail_[i];
    values_[p] = kUnassigned;
    values_[p ^ 1] = kUnassigned;
    if (!heap_contains(var_of(p))) heap_insert(var_of(p));
  }
  trail_.resize(stop);
  trail_lim_.clear();
  qhead_ = stop;
  if (target_copied_ > stop) target_copied_ = stop;
}

bool Solver::vivify_replace(CRef c) {
  ClauseHeader &h = headers_[c];
  Lit *lits = &lits_[h.start];
  const uint32_t len = len_of(h);
  const uint32_t n = static_cast<uint32_t>(vivify_out_.size());
  log_add(vivify_out_.data(), n);
  log_delete(lits, len);
  detach(c);
  ++vivify_effort_.shortened;
  vivify_effort_.removed_lits += len - n;
  if (n == 1) {
    ++vivify_effort_.units;
    h.deleted = true;
    wasted_ += len + kArenaHead;
    assign(vivify_out_[0], kNoReason);
    if (propagate() == kNoReason) return true;
    refute();
    return false;
  }
  std::copy(vivify_out_.begin(), vivify_out_.end(), lits);
  wasted_ += len - n;
  lits_[h.start - 1] = n;
  if (h.glue > n) h.glue = n;
  attach(c);
  return true;
}

}  // namespace qn
