// Subsumption and self-subsuming resolution.
//
// Each live clause c, shortest first, looks at the clauses that hold its
// pivot literal p (the literal whose variable occurs least) or its
// complement: a clause d containing all of c is removed, and a clause d
// containing all of c except one literal x, plus the complement of x, loses
// that complement.  Every candidate pair that survives the length test costs
// one unit of a per-pass budget, so the pass is bounded whatever the
// formula's size.  Units created here are propagated at the end of the round.
#include <algorithm>
#include <cstddef>

#include "preprocess/preprocessor.hpp"

namespace qn::prep {

// With incremental_, a pass after the first takes as subsuming clauses
// only those over a touched variable: a clause that can newly subsume or
// strengthen another shares all its variables with it, and one of the two
// changed since the last pass.
bool Preprocessor::touched_clause(ClauseId i) const {
  const Lit *c = clause(i);
  for (uint32_t k = 0; k < slots_[i].len; ++k) {
    if (touched_[var_of(c[k])] & kTouchedSub) return true;
  }
  return false;
}

void Preprocessor::subsume() {
  sub_order_.clear();
  const bool only_touched = incremental_ && swept_sub_;
  for (ClauseId i = 0; i < num_slots(); ++i) {
    if (slots_[i].live && (!only_touched || touched_clause(i))) sub_order_.push_back(i);
  }
  if (incremental_) {
    for (uint8_t &t : touched_) t &= static_cast<uint8_t>(~kTouchedSub);
    swept_sub_ = true;
  }
  std::stable_sort(sub_order_.begin(), sub_order_.end(),
                   [this](ClauseId a, ClauseId b) { return slots_[a].len < slots_[b].len; });
  int64_t budget = subsume_budget_;

  for (const ClauseId i : sub_order_) {
    if (stop_requested()) return;
    if (!slots_[i].live) continue;
    const uint32_t clen = slots_[i].len;
    if (clen == 0) continue;  // no pivot; run() refuses such a store earlier
    sub_c_.assign(clause(i), clause(i) + clen);
    const uint64_t sig_c = slots_[i].sig;

    Lit pivot = sub_c_[0];
    size_t best = occs_[pivot].size() + occs_[neg(pivot)].size();
    for (uint32_t k = 1; k < clen; ++k) {
      const Lit l = sub_c_[k];
      const size_t cost = occs_[l].size() + occs_[neg(l)].size();
      if (cost < best) {
        best = cost;
        pivot = l;
      }
    }

    // With c's literals marked, one scan of d tells how many of them d
    // holds and which literal of d is the complement of one of c's.  As d
    // has no complementary pair, "all of c but x, and not-x" is exactly
    // |c| - 1 hits and one complemented literal.
    for (const Lit l : sub_c_) mark_[l] = 1;
    bool stop = false;
    for (int side = 0; side < 2 && !stop; ++side) {
      // The candidates are the list as it stands now.  Most lists pass
      // without a change, so they are read in place; the rest of a list is
      // copied just before the first change that could reorder it.
      const std::vector<ClauseId> *cands = &occs_[side == 0 ? pivot : neg(pivot)];
      for (size_t idx = 0; idx < cands->size();) {
        const ClauseId j = (*cands)[idx++];
        const SlotInfo sj = slots_[j];
        if (j == i || !sj.live) continue;
        const uint32_t dlen = sj.len;
        if (dlen < clen) continue;
        if (--budget < 0) {
          swept_sub_ = false;  // the clauses not reached wait for a whole pass
          stop = true;
          break;
        }
        if ((sig_c & ~sj.sig) != 0) continue;
        const Lit *d = clause(j);
        uint32_t hits = 0, flips = 0;
        Lit flipped = 0;
        for (uint32_t k = 0; k < dlen; ++k) {
          if (mark_[d[k]]) {
            ++hits;
          } else if (mark_[neg(d[k])]) {
            ++flips;
            flipped = d[k];
          }
        }
        const bool subsumes = hits == clen;
        if (!subsumes && !(hits + 1 == clen && flips == 1)) continue;
        if (cands != &sub_cands_) {
          sub_cands_.assign(cands->begin() + static_cast<std::ptrdiff_t>(idx), cands->end());
          cands = &sub_cands_;
          idx = 0;
        }
        if (subsumes) {
          remove(j);
          ++subsumed;
        } else {
          tmp_lits_.clear();
          for (uint32_t k = 0; k < dlen; ++k) {
            if (d[k] != flipped) tmp_lits_.push_back(d[k]);
          }
          if (tmp_lits_.empty()) {
            unsat_ = true;
            log_empty_clause();
            stop = true;
            break;
          }
          replace(j, tmp_lits_.data(), static_cast<uint32_t>(tmp_lits_.size()));
          ++strengthened;
        }
      }
    }
    for (const Lit l : sub_c_) mark_[l] = 0;
    if (stop) return;
  }
}

}  // namespace qn::prep
