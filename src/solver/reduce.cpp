// Clause-store maintenance: the periodic reduction of learned clauses by
// glue and activity, and root simplification.
#include <algorithm>

#include "core/panic.hpp"
#include "solver/solver.hpp"

namespace qn {

void Solver::reduce_db() {
  if (stats_.conflicts < next_reduce_) return;
  const uint64_t k = ++reduce_count_;
  ++stats_.reductions;
  next_reduce_ = config_.first_reduce + k * k * config_.reduce_inc;  // wraps modulo 2^64

  candidates_.clear();
  for (CRef c : learnts_) {
    const ClauseHeader &h = headers_[c];
    if (!h.deleted && h.glue > config_.glue_keep && len_of(h) >= 3 && !locked(c)) candidates_.push_back(c);
  }
  std::stable_sort(candidates_.begin(), candidates_.end(), [this](CRef a, CRef b) {
    const ClauseHeader &x = headers_[a], &y = headers_[b];
    if (x.glue != y.glue) return x.glue > y.glue;
    return x.activity < y.activity;
  });
  const size_t drop = candidates_.size() / 2;
  if (drop == 0) {
    learnts_.erase(std::remove_if(learnts_.begin(), learnts_.end(), [this](CRef c) { return headers_[c].deleted; }),
                   learnts_.end());
    return;
  }

  // Each clause has exactly one entry in each of its two watch lists, so
  // dropping every entry of a deleted clause from the affected lists after
  // the loop leaves the same lists, in the same order, as removing each one
  // as it is deleted.
  if (watch_dirty_.size() < watches_.size()) watch_dirty_.resize(watches_.size(), 0);
  dirty_lists_.clear();
  for (size_t i = 0; i < drop; ++i) {
    const CRef c = candidates_[i];
    ClauseHeader &h = headers_[c];
    log_delete(&lits_[h.start], len_of(h));
    for (int w = 0; w < 2; ++w) {
      const Lit list = lits_[h.start + w] ^ 1;
      if (!watch_dirty_[list]) {
        watch_dirty_[list] = 1;
        dirty_lists_.push_back(list);
      }
    }
    h.deleted = true;
    wasted_ += len_of(h) + kArenaHead;
    ++stats_.deleted;
  }
  for (Lit list : dirty_lists_) {
    watch_dirty_[list] = 0;
    WatchList<Watch> &ws = watches_[list];
    size_t j = 0;
    for (size_t i = 0; i < ws.size(); ++i) {
      if (!headers_[cref_of(lits_[ws[i].off - 2])].deleted) ws[j++] = ws[i];
    }
    ws.resize(j);
  }
  learnts_.erase(std::remove_if(learnts_.begin(), learnts_.end(), [this](CRef c) { return headers_[c].deleted; }),
                 learnts_.end());
  maybe_collect_garbage();
}

// Drops satisfied clauses and strips root-false literals from one list.
// False when a clause shrinks to a literal that is already false.
bool Solver::simplify_list(std::vector<CRef> &list) {
  size_t j = 0;
  size_t i = 0;
  bool ok = true;
  for (; i < list.size() && ok; ++i) {
    const CRef c = list[i];
    ClauseHeader &h = headers_[c];
    if (h.deleted) continue;
    Lit *lits = &lits_[h.start];
    bool satisfied = false, any_false = false;
    for (uint32_t k = 0; k < len_of(h); ++k) {
      const uint8_t val = value(lits[k]);
      if (val == kTrue) {
        satisfied = true;
        break;
      }
      if (val == kFalse) any_false = true;
    }
    // A locked clause (the reason of its true first literal) is satisfied
    // and stays as it is.
    if (satisfied && locked(c)) {
      list[j++] = c;
      continue;
    }
    if (satisfied) {
      log_delete(lits, len_of(h));
      detach(c);
      h.deleted = true;
      wasted_ += len_of(h) + kArenaHead;
      continue;
    }
    if (!any_false) {
      list[j++] = c;
      continue;
    }
    add_buf_.clear();
    for (uint32_t k = 0; k < len_of(h); ++k) {
      if (value(lits[k]) != kFalse) add_buf_.push_back(lits[k]);
    }
    log_add(add_buf_.data(), add_buf_.size());
    log_delete(lits, len_of(h));
    detach(c);
    if (add_buf_.size() == 1) {
      h.deleted = true;
      wasted_ += len_of(h) + kArenaHead;
      const Lit u = add_buf_[0];
      if (value(u) == kUnassigned) {
        assign(u, kNoReason);
      } else if (value(u) == kFalse) {
        refute();
        ok = false;
      }
      continue;
    }
    QN_CHECK(!add_buf_.empty(), "root simplification emptied a clause");
    std::copy(add_buf_.begin(), add_buf_.end(), lits);
    wasted_ += len_of(h) - add_buf_.size();
    lits_[h.start - 1] = static_cast<uint32_t>(add_buf_.size());
    attach(c);
    list[j++] = c;
  }
  for (; i < list.size(); ++i) list[j++] = list[i];
  list.resize(j);
  return ok;
}

bool Solver::simplify() {
  if (propagate() != kNoReason) {
    refute();
    return false;
  }
  // Root assignments only grow.  When there is no new one since the last
  // pass, every clause is already free of root-assigned literals (learned
  // clauses never contain any), so the pass would change nothing.
  if (trail_.size() != simplify_root_trail_) {
    if (!simplify_list(learnts_)) return false;
    if (!simplify_list(inputs_)) return false;
    if (propagate() != kNoReason) {
      refute();
      return false;
    }
  }
  simplify_root_trail_ = trail_.size();
  simplify_props_ = stats_.propagations;
  maybe_collect_garbage();
  return true;
}

// Deleted clauses and the tails of shortened ones leave holes in the arena.
// Once they make up a fifth of it, the live clauses are copied into a fresh
// arena in the order the watch lists visit them, so that propagation walks
// compact memory.  Clause references (table indices), literal orders and
// watch orders are unchanged; only arena offsets move, in the watches and in
// the reasons of the assigned variables.
void Solver::maybe_collect_garbage() {
  if (wasted_ * 5 < lits_.size()) return;
  std::vector<Lit> to;
  to.reserve(lits_.size() - wasted_);
  std::vector<uint32_t> new_start(headers_.size(), 0);
  for (WatchList<Watch> &ws : watches_) {
    for (Watch &w : ws) {
      const uint32_t word = lits_[w.off - 2];
      const CRef c = cref_of(word);
      if (new_start[c] == 0) {
        const ClauseHeader &h = headers_[c];
        to.push_back(word);
        to.push_back(len_of(h));
        new_start[c] = static_cast<uint32_t>(to.size());
        to.insert(to.end(), lits_.begin() + h.start, lits_.begin() + h.start + len_of(h));
      }
      w.off = new_start[c];
    }
  }
  // Reasons are never deleted (locked clauses are kept), so each has moved.
  for (Lit p : trail_) {
    int32_t &r = vardata_[var_of(p)].reason;
    if (r == kNoReason) continue;
    const uint32_t moved = new_start[cref_of(lits_[static_cast<uint32_t>(r) - 2])];
    QN_CHECK(moved != 0, "reason clause was not kept");
    r = static_cast<int32_t>(moved);
  }
  // Every live clause is watched; deleted ones keep a header whose
  // literals are gone, and nothing reads them again.
  for (CRef c = 0; c < headers_.size(); ++c) {
    ClauseHeader &h = headers_[c];
    if (new_start[c] != 0) {
      h.start = new_start[c];
    } else {
      QN_CHECK(h.deleted, "live clause without watches");
      h.start = kArenaHead;  // points at some clause's literals; never read
    }
  }
  lits_.swap(to);
  wasted_ = 0;
}

}  // namespace qn
