// Pure literals and bounded variable elimination.
//
// Both remove a variable together with its clauses and push an elimination
// entry (the variable and copies of the removed clauses) from which
// reconstruct() later chooses the variable's value.  Frozen variables and
// variables fixed by propagation are never removed.
#include <algorithm>

#include "preprocess/preprocessor.hpp"

namespace qn::prep {

void Preprocessor::push_entry(Var v, const std::vector<ClauseId> &a, const std::vector<ClauseId> &b) {
  EliminationEntry e;
  e.var = v;
  e.first = static_cast<uint32_t>(elim_clause_start_.size());
  e.count = static_cast<uint32_t>(a.size() + b.size());
  for (const std::vector<ClauseId> *ids : {&a, &b}) {
    for (const ClauseId id : *ids) {
      elim_clause_start_.push_back(elim_lits_.size());
      elim_clause_len_.push_back(slots_[id].len);
      elim_lits_.insert(elim_lits_.end(), clause(id), clause(id) + slots_[id].len);
    }
  }
  elim_stack_.push_back(e);
}

// ---------------------------------------------------------------------------
// pure_literals: one sweep in increasing variable order.  A variable made
// pure by an earlier removal in the same sweep is caught if its index is
// higher; a lower one waits for elimination or the next round.

void Preprocessor::pure_literals() {
  const uint32_t n = nvars_;
  elim_neg_.clear();
  for (Var v = 0; v < n; ++v) {
    if (vals_[v] != kUnassigned || frozen_[v]) continue;
    const size_t pos = occs_[mk_lit(v)].size();
    const size_t negs = occs_[mk_lit(v, true)].size();
    if ((pos == 0) == (negs == 0)) continue;
    const Lit pure_lit = mk_lit(v, pos == 0);
    elim_pos_ = occs_[pure_lit];
    push_entry(v, elim_pos_, elim_neg_);
    for (const ClauseId id : elim_pos_) remove(id);
    ++pure;
    ++eliminated_vars;
    eliminated_[v] = 1;
  }
}

// ---------------------------------------------------------------------------
// eliminate_vars
//
// Candidates are tried in order of the product of their positive and
// negative occurrence counts (taken once, before the first elimination),
// smallest first.  A variable is eliminated when it has at most 400
// resolution pairs, no non-tautological resolvent is longer than
// max_resolvent_len, and there are no more such resolvents than clauses they
// replace.  The resolvents are added (logged) before the clauses they
// replace are deleted.  Returns false when an empty resolvent shows the
// formula unsatisfiable.

bool Preprocessor::eliminate_vars() {
  elim_cands_.clear();
  elim_keys_.assign(nvars_, 0);
  // With incremental_, a pass after the first tries only the variables
  // whose clauses changed since the last one.
  const bool only_touched = incremental_ && swept_elim_;
  for (Var v = 0; v < nvars_; ++v) {
    if (vals_[v] != kUnassigned || frozen_[v]) continue;
    if (only_touched && !(touched_[v] & kTouchedElim)) continue;
    elim_cands_.push_back(v);
    elim_keys_[v] = static_cast<uint64_t>(occs_[mk_lit(v)].size()) * occs_[mk_lit(v, true)].size();
  }
  std::stable_sort(elim_cands_.begin(), elim_cands_.end(),
                   [this](Var a, Var b) { return elim_keys_[a] < elim_keys_[b]; });
  if (incremental_) {
    for (uint8_t &t : touched_) t &= static_cast<uint8_t>(~kTouchedElim);
    swept_elim_ = true;
  }

  for (const Var v : elim_cands_) {
    if (stop_requested()) {
      swept_elim_ = false;  // the candidates not reached wait for a whole pass
      break;
    }
    if (vals_[v] != kUnassigned) continue;
    const Lit pos = mk_lit(v), negl = mk_lit(v, true);
    if (occs_[pos].empty() && occs_[negl].empty()) continue;
    if (static_cast<uint64_t>(occs_[pos].size()) * occs_[negl].size() > 400) continue;
    elim_pos_ = occs_[pos];
    elim_neg_ = occs_[negl];

    // Past the bound the variable is given up whatever follows, unless an
    // empty resolvent comes first; that needs a unit clause on both sides.
    bool unit_pos = false, unit_neg = false;
    for (const ClauseId id : elim_pos_) unit_pos = unit_pos || slots_[id].len == 1;
    for (const ClauseId id : elim_neg_) unit_neg = unit_neg || slots_[id].len == 1;
    const bool may_refute = unit_pos && unit_neg;
    const uint64_t bound = elim_pos_.size() + elim_neg_.size();
    uint64_t kept = 0;
    bool give_up = false;
    res_lits_.clear();
    res_len_.clear();
    for (const ClauseId pid : elim_pos_) {
      const Lit *p = clause(pid);
      const uint32_t plen = slots_[pid].len;
      for (uint32_t k = 0; k < plen; ++k) {
        if (p[k] != pos) mark_[p[k]] = 1;
      }
      for (const ClauseId nid : elim_neg_) {
        res_tmp_.clear();
        for (uint32_t k = 0; k < plen; ++k) {
          if (p[k] != pos) res_tmp_.push_back(p[k]);
        }
        const Lit *c = clause(nid);
        const uint32_t nlen = slots_[nid].len;
        bool tautology = false;
        for (uint32_t k = 0; k < nlen; ++k) {
          const Lit l = c[k];
          if (l == negl || mark_[l]) continue;
          if (mark_[neg(l)]) {
            tautology = true;
            break;
          }
          res_tmp_.push_back(l);
        }
        if (tautology) continue;
        if (res_tmp_.empty()) {
          for (uint32_t k = 0; k < plen; ++k) mark_[p[k]] = 0;
          unsat_ = true;
          log_empty_clause();
          return false;
        }
        if (res_tmp_.size() > max_resolvent_len_) {
          give_up = true;
          break;
        }
        if (++kept <= bound) {
          res_lits_.insert(res_lits_.end(), res_tmp_.begin(), res_tmp_.end());
          res_len_.push_back(static_cast<uint32_t>(res_tmp_.size()));
        } else if (!may_refute) {
          give_up = true;
          break;
        }
      }
      for (uint32_t k = 0; k < plen; ++k) mark_[p[k]] = 0;
      if (give_up) break;
    }
    if (give_up || kept > bound) continue;

    size_t off = 0;
    for (const uint32_t len : res_len_) {
      insert(res_lits_.data() + off, len, true);
      off += len;
      ++resolvents;
    }
    push_entry(v, elim_pos_, elim_neg_);
    for (const ClauseId id : elim_pos_) remove(id);
    for (const ClauseId id : elim_neg_) remove(id);
    ++eliminated_vars;
    eliminated_[v] = 1;
  }
  return true;
}

}  // namespace qn::prep
