// The checker's unit propagation, RUP checks and lemma insertion.
#include <cassert>

#include "checker/checker.hpp"
#include "checker/values.hpp"

namespace qn::checker {

inline __attribute__((always_inline)) void Checker::assign(Lit l) {
  assert(vals_[l] == kUnassigned && vals_[l ^ 1] == kUnassigned);
  vals_[l] = kTrue;
  vals_[l ^ 1] = kFalse;
  trail_.push_back(l);  // never reallocates: sized for every variable
  // The first lists propagation visits for l: their headers are fetched now
  // (and their entries one literal ahead, in propagate).
  __builtin_prefetch(&binaries_[l]);
  __builtin_prefetch(&ternaries_[l]);
}

// Processes the trail from `from` as a queue, visiting shorter clauses
// first: a pending literal's clauses of one tier only when every shorter
// tier is done with every pending literal, binary clauses going with the
// first tier, literal by literal (on formulas made mostly of binary and
// ternary clauses, closing the binary implications first assigns many
// literals a ternary clause would have cut short).  Short clauses find most conflicts on their own,
// so that long ones, whose visits cost the most, are often never visited.
// Whether propagation ends in a conflict does not depend on the order it
// visits clauses in, and nothing else of it is observable.
bool Checker::propagate(size_t from) {
  size_t next[kTiers];
  for (size_t &n : next) n = from;
  for (;;) {
    unsigned t = 0;
    while (t < kTiers && next[t] == trail_.size()) ++t;
    if (t == kTiers) return false;
    const Lit l = trail_[next[t]++];
    if (next[t] < trail_.size()) {  // the lists of the tier's next literal, meanwhile
      const Lit n = trail_[next[t]];
      if (t == 0) {
        __builtin_prefetch(binaries_[n].data());
        __builtin_prefetch(ternaries_[n].data());
      } else {
        __builtin_prefetch(watches_[t][n].data());
      }
    }
    if (t == 0 ? propagate_binary(l) || propagate_ternary(l) : propagate_long(l, t)) return true;
  }
}

bool Checker::propagate_binary(Lit t) {
  uint8_t *const vals = vals_.data();
  for (const Lit l : binaries_[t]) {
    const uint8_t v = vals[l];
    if (v == kTrue) continue;
    if (v == kFalse) return true;
    assign(l);
  }
  return false;
}

// Visits the clauses of three literals that watch t ^ 1, from the two
// other literals in each watch: satisfied, unit or conflicting without
// reading the clause.  Only when both are unassigned is the clause read,
// to move the watch to its unwatched literal (at position 2).  A true
// literal of the two goes first in the watch.  On conflict the unvisited
// rest of the list is kept as it was.
bool Checker::propagate_ternary(Lit t) {
  const Lit f = t ^ 1;
  uint8_t *const vals = vals_.data();
  std::vector<Ternary> &ws = ternaries_[t];
  Ternary *const begin = ws.data();
  Ternary *const end = begin + ws.size();
  Ternary *r = begin, *k = begin;
  while (r < end) {
    const Ternary w = *r++;
    const uint8_t va = vals[w.a];
    if (va == kTrue) {
      *k++ = w;
      continue;
    }
    const uint8_t vb = vals[w.b];
    if (vb == kTrue) {
      *k++ = {w.b, w.a, w.ref};
      continue;
    }
    if (va == kUnassigned && vb == kUnassigned) {
      Lit *const lits = arena_.data() + w.ref + 1;
      assert(lits[0] == f || lits[1] == f);
      const unsigned at = lits[0] == f ? 0 : 1;
      const Lit u = lits[2];
      lits[2] = f;
      lits[at] = u;
      ternaries_[u ^ 1].push_back({lits[at ^ 1], f, w.ref});  // another list than ws
      continue;
    }
    *k++ = w;
    if (va == kFalse && vb == kFalse) {
      while (r < end) *k++ = *r++;
      ws.resize(static_cast<size_t>(k - begin));
      return true;
    }
    assign(va == kFalse ? w.b : w.a);
  }
  ws.resize(static_cast<size_t>(k - begin));
  return false;
}

// Visits the clauses of tier `tier` (1 and up) that watch t ^ 1.  A true
// blocker keeps the watch untouched.  Otherwise the false watch goes to
// position 1; a true position 0 becomes the blocker; else the watch moves
// to the first non-false literal from position 2 on, and failing that the
// clause is unit (position 0 made true) or conflicting.  On conflict the
// unvisited rest of the list is kept as it was.
bool Checker::propagate_long(Lit t, unsigned tier) {
  const Lit f = t ^ 1;
  uint8_t *const vals = vals_.data();
  uint32_t *const arena = arena_.data();  // nothing is inserted meanwhile
  std::vector<std::vector<Watch>> &lists = watches_[tier];
  std::vector<Watch> &ws = lists[t];
  Watch *const begin = ws.data();
  Watch *const end = begin + ws.size();
  Watch *r = begin, *k = begin;
  while (r < end) {
    const Watch w = *r++;
    if (vals[w.blocker] == kTrue) {
      *k++ = w;
      continue;
    }
    if (r < end && vals[r->blocker] != kTrue) __builtin_prefetch(arena + r->ref);
    uint32_t *const h = arena + w.ref;
    const uint32_t n = h[0];
    assert(!(n & kDeleted) && n >= 3);
    Lit *const lits = h + 1;
    // The false watch goes to position 1 (without a branch: one of the two
    // positions holds f).
    assert(lits[0] == f || lits[1] == f);
    const Lit first = lits[0] ^ lits[1] ^ f;
    lits[0] = first;
    lits[1] = f;
    const uint8_t fv = vals[first];
    if (fv == kTrue) {
      *k++ = {first, w.ref};
      continue;
    }
    uint32_t m = 2;
    while (m < n && vals[lits[m]] == kFalse) ++m;
    if (m < n) {
      lits[1] = lits[m];
      lits[m] = f;
      lists[lits[1] ^ 1].push_back({first, w.ref});  // another list than ws
      continue;
    }
    *k++ = {first, w.ref};
    if (fv == kFalse) {
      while (r < end) *k++ = *r++;
      ws.resize(static_cast<size_t>(k - begin));
      return true;
    }
    assign(first);
  }
  ws.resize(static_cast<size_t>(k - begin));
  return false;
}

bool Checker::is_rup(std::span<const Lit> lits) {
  if (inconsistent_) return true;
  const size_t s = trail_.size();
  bool conflict = false;
  for (const Lit l : lits) {
    if (vals_[l] == kTrue) {
      conflict = true;
      break;
    }
    if (vals_[l] == kFalse) continue;
    assign(l ^ 1);
  }
  if (!conflict) conflict = propagate(s);
  for (size_t i = trail_.size(); i > s; --i) {
    const Lit l = trail_[i - 1];
    vals_[l] = kUnassigned;
    vals_[l ^ 1] = kUnassigned;
  }
  trail_.resize(s);
  return conflict;
}

// ---------------------------------------------------------------------------
// Steps of a check.

bool Checker::assign_input_units() {
  for (const Lit l : units_) {
    if (vals_[l] == kTrue) continue;
    if (vals_[l] == kFalse) {
      inconsistent_ = true;
      return false;
    }
    assign(l);
  }
  if (propagate(0)) {
    inconsistent_ = true;
    return false;
  }
  return true;
}

// An accepted lemma already satisfied at top level is stored as it is.
// Otherwise its non-false literals go first, so that the watches are
// sound; with none it refutes the clause set, with one it is unit.
void Checker::add_lemma(std::span<const Lit> c) {
  for (const Lit l : c) {
    if (vals_[l] == kTrue) {
      insert(c);
      return;
    }
  }
  lemma_.clear();
  for (const Lit l : c)
    if (vals_[l] != kFalse) lemma_.push_back(l);
  const size_t open = lemma_.size();
  for (const Lit l : c)
    if (vals_[l] == kFalse) lemma_.push_back(l);
  insert(lemma_);
  if (open == 0) {
    inconsistent_ = true;
  } else if (open == 1) {
    assign(lemma_[0]);
    if (propagate(trail_.size() - 1)) inconsistent_ = true;
  }
}

}  // namespace qn::checker
