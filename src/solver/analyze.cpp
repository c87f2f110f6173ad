// Conflict analysis: first-UIP learning with activity bumping and glue
// refresh, clause minimisation, the learned clause's glue, and storing and
// asserting it.
#include <algorithm>

#include "core/panic.hpp"
#include "solver/solver.hpp"

namespace qn {

// Bumps a learned clause met during analysis and refreshes its glue when it
// has dropped (only clauses with glue 3 or more are refreshed).
void Solver::visit_clause(uint32_t cref_word) {
  if (!(cref_word & kLearntTag)) return;
  ClauseHeader &h = headers_[cref_of(cref_word)];
  h.activity += cla_inc_;
  if (h.activity > 1e20) {
    for (CRef l : learnts_) headers_[l].activity *= 1e-20;
    cla_inc_ *= 1e-20;
  }
  if (h.glue >= 3) {
    const uint32_t g = compute_glue(&lits_[h.start], len_of(h));
    if (g < h.glue) h.glue = g;
  }
}

void Solver::bump_var(Var v) {
  activity_[v] += var_inc_;
  if (activity_[v] > 1e100) {
    for (double &a : activity_) a *= 1e-100;
    for (HeapEntry &e : heap_) e.activity = activity_[e.var];
    var_inc_ *= 1e-100;
  }
  if (heap_contains(v)) {
    const uint32_t i = static_cast<uint32_t>(heap_index_[v]);
    heap_[i].activity = activity_[v];
    heap_up(i);
  }
}

// Distinct decision levels among the literals (level 0 counts too).
uint32_t Solver::compute_glue(const Lit *lits, size_t n) {
  ++stamp_;
  uint32_t count = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t l = vardata_[var_of(lits[i])].level;
    if (level_stamp_[l] != stamp_) {
      level_stamp_[l] = stamp_;
      ++count;
    }
  }
  return count;
}

// Fills learnt_ (asserting literal first, the highest-level other literal
// second) and returns the backjump level; leaves seen_ all clear.
uint32_t Solver::analyze(int32_t conflict) {
  learnt_.clear();
  learnt_.push_back(0);  // the asserting literal, filled in below
  const uint32_t d = decision_level();
  uint32_t path = 0;
  size_t index = trail_.size();
  bool skip_first = false;
  int32_t clause = conflict;
  Lit p = 0;
  do {
    QN_CHECK(clause != kNoReason, "analysis reached a literal without a reason");
    const Lit *lits = &lits_[static_cast<uint32_t>(clause)];
    const uint32_t len = lits[-1];
    visit_clause(lits[-2]);
    for (uint32_t k = skip_first ? 1 : 0; k < len; ++k) {
      const Lit q = lits[k];
      const Var v = var_of(q);
      if (seen_[v] || vardata_[v].level == 0) continue;
      seen_[v] = 1;
      bump_var(v);
      if (vardata_[v].level < d) {
        learnt_.push_back(q);
      } else {
        ++path;
      }
    }
    do {
      QN_CHECK(index > 0, "analysis ran off the trail");
      --index;
    } while (!seen_[var_of(trail_[index])]);
    p = trail_[index];
    --path;
    clause = vardata_[var_of(p)].reason;
    seen_[var_of(p)] = 0;
    skip_first = true;
  } while (path > 0);
  learnt_[0] = p ^ 1;

  toclear_.assign(learnt_.begin(), learnt_.end());
  const size_t before = learnt_.size();
  size_t kept = 1;
  switch (config_.ccmin) {
    case MinimizeMode::Deep: {
      uint32_t abstract = 0;
      for (size_t i = 1; i < learnt_.size(); ++i) abstract |= 1u << (vardata_[var_of(learnt_[i])].level & 31);
      for (size_t i = 1; i < learnt_.size(); ++i) {
        const Lit q = learnt_[i];
        if (vardata_[var_of(q)].reason == kNoReason || !redundant(q, abstract)) learnt_[kept++] = q;
      }
      break;
    }
    case MinimizeMode::Basic:
      for (size_t i = 1; i < learnt_.size(); ++i) {
        const Lit q = learnt_[i];
        const int32_t r = vardata_[var_of(q)].reason;
        bool keep = r == kNoReason;
        if (!keep) {
          const Lit *lits = &lits_[static_cast<uint32_t>(r)];
          const uint32_t len = lits[-1];
          for (uint32_t k = 1; k < len; ++k) {
            const Var v = var_of(lits[k]);
            if (!seen_[v] && vardata_[v].level != 0) {
              keep = true;
              break;
            }
          }
        }
        if (keep) learnt_[kept++] = q;
      }
      break;
    case MinimizeMode::None:
      kept = learnt_.size();
      break;
  }
  learnt_.resize(kept);
  stats_.minimized_lits += before - kept;
  if (config_.bump_reasons && kept <= kBumpReasonsLen) bump_reason_side();

  uint32_t backjump = 0;
  if (learnt_.size() > 1) {
    size_t best = 1;
    for (size_t i = 2; i < learnt_.size(); ++i) {
      if (vardata_[var_of(learnt_[i])].level > vardata_[var_of(learnt_[best])].level) best = i;
    }
    std::swap(learnt_[1], learnt_[best]);
    backjump = vardata_[var_of(learnt_[1])].level;
  }

  for (Lit q : toclear_) seen_[var_of(q)] = 0;
  toclear_.clear();
  for (Var v : poisoned_) seen_[v] = 0;
  poisoned_.clear();
  return backjump;
}

// Bumps the variables of the learned literals' reasons that analysis did not
// bump; they join toclear_, so they are bumped once.
void Solver::bump_reason_side() {
  for (const Lit q : learnt_) {
    const int32_t r = vardata_[var_of(q)].reason;
    if (r == kNoReason) continue;
    const Lit *lits = &lits_[static_cast<uint32_t>(r)];
    const uint32_t len = lits[-1];
    for (uint32_t k = 0; k < len; ++k) {
      const Var v = var_of(lits[k]);
      if (seen_[v] || vardata_[v].level == 0 || v == var_of(q)) continue;
      seen_[v] = 1;
      toclear_.push_back(lits[k]);
      bump_var(v);
    }
  }
}

// True when `p` is implied by other literals of the learned clause (marked
// seen) through reason clauses.  Marks made by a failed test are undone,
// but the literal whose own reason failed is marked poisoned (seen_ 2): it
// fails in every later test of this analysis too, since what made it fail
// (a decision, or a level outside the clause's) never gets marked.
bool Solver::redundant(Lit p, uint32_t abstract) {
  stack_.clear();
  stack_.push_back(p);
  const size_t top = toclear_.size();
  while (!stack_.empty()) {
    const Lit q = stack_.back();
    stack_.pop_back();
    const int32_t r = vardata_[var_of(q)].reason;
    bool fail = r == kNoReason;
    if (!fail) {
      const Lit *lits = &lits_[static_cast<uint32_t>(r)];
      const uint32_t len = lits[-1];
      for (uint32_t k = 1; k < len; ++k) {
        const Lit l = lits[k];
        const Var v = var_of(l);
        if (seen_[v] == 1 || vardata_[v].level == 0) continue;
        if (seen_[v] == 0 && vardata_[v].reason != kNoReason && ((abstract >> (vardata_[v].level & 31)) & 1u)) {
          seen_[v] = 1;
          stack_.push_back(l);
          toclear_.push_back(l);
        } else {
          fail = true;
          break;
        }
      }
    }
    if (fail) {
      for (size_t i = top; i < toclear_.size(); ++i) seen_[var_of(toclear_[i])] = 0;
      toclear_.resize(top);
      if (q != p) {
        seen_[var_of(q)] = 2;
        poisoned_.push_back(var_of(q));
      }
      return false;
    }
  }
  return true;
}

// Backjumps, logs, stores and asserts learnt_, then decays the activities.
void Solver::learn(uint32_t backjump, uint32_t glue) {
  cancel_until(backjump);
  const uint32_t n = static_cast<uint32_t>(learnt_.size());
  ++stats_.learned;
  stats_.learned_lits += n;
  log_add(learnt_.data(), n);
  int32_t why = kNoReason;
  if (n >= 2) {
    const CRef c = store_clause(learnt_.data(), n, true, cla_inc_, glue);
    learnts_.push_back(c);
    attach(c);
    why = static_cast<int32_t>(headers_[c].start);
  }
  assign(learnt_[0], why);
  var_inc_ = var_inc_ / var_decay_now_;
  cla_inc_ = cla_inc_ / config_.cla_decay;
  if (var_decay_now_ < config_.var_decay_max) var_decay_now_ = std::min(var_decay_now_ + 0.01, config_.var_decay_max);
}

}  // namespace qn
