// The preprocessor's facade: adding clauses, freezing, the round loop and
// the reduced formula.
#include <algorithm>
#include <new>

#include "preprocess/preprocessor.hpp"

namespace qn::prep {

Preprocessor::Preprocessor(bool do_bve, uint64_t max_resolvent_len, bool with_proof)
    : do_bve_(do_bve), max_resolvent_len_(max_resolvent_len), with_proof_(with_proof) {}

// ---------------------------------------------------------------------------
// add_clause
//
// Literals are taken in order: a repeated literal is skipped, and a literal
// whose complement came earlier makes the clause a tautology, which stores
// nothing; literals after it are not looked at and do not grow the variable
// count.  The clause is then checked against the current state:
//  - a variable already removed by pure literals or elimination cannot take
//    new clauses (reconstruction would be free to break them): refused;
//  - a literal already true by propagation satisfies the clause: dropped;
//  - literals already false are dropped (the shortened clause is logged as an
//    addition, derivable from the original and the units); nothing left
//    refutes the formula.
// Without fixed values the clause is stored unchanged and unlogged: input
// clauses belong to the formula, not to the proof.

AddOutcome Preprocessor::add_clause(const std::vector<Lit> &lits, Var *bad) {
  std::vector<Lit> &c = add_lits_;
  c.clear();
  const size_t closing = add_scan_.run(lits.data(), lits.size());
  const bool tautology = closing < lits.size();
  // The literal that closes a tautology still counts for `need`.
  const size_t seen = tautology ? closing + 1 : lits.size();
  uint64_t need = nvars_;
  for (size_t i = 0; i < seen; ++i) {
    need = std::max<uint64_t>(need, uint64_t{var_of(lits[i])} + 1);
    if (i < closing && add_scan_.first[i]) c.push_back(lits[i]);
  }
  if (tautology) {
    grow(need);
    return AddOutcome::Dropped;
  }
  for (const Lit l : c) {
    if (var_of(l) < nvars_ && eliminated_[var_of(l)]) {
      *bad = var_of(l);
      return AddOutcome::Eliminated;
    }
  }

  const uint32_t old_nvars = nvars_;
  grow(need);
  size_t kept = 0;
  for (const Lit l : c) {
    const uint8_t val = lit_value(l);
    if (val == kTrue) return AddOutcome::Dropped;
    if (val == kUnassigned) c[kept++] = l;
  }
  const bool shortened = kept < c.size();
  c.resize(kept);
  if (shortened && c.empty()) {
    unsat_ = true;
    log_empty_clause();
    return AddOutcome::Refuted;
  }
  try {
    insert(c.data(), static_cast<uint32_t>(c.size()), shortened);
  } catch (const std::bad_alloc &) {
    shrink_vars(old_nvars);
    throw;
  }
  return AddOutcome::Stored;
}

void Preprocessor::freeze(Var v) {
  grow(uint64_t{v} + 1);
  frozen_[v] = 1;
}

// ---------------------------------------------------------------------------
// run
//
// Each round: propagate, subsume (with strengthening), remove pure
// literals, eliminate variables (when enabled), propagate again.  The loop
// stops after `rounds` rounds, on refutation (false), or at a fixpoint: a
// round that neither subsumed, strengthened nor eliminated anything.  A store
// holding an empty clause (added as such) is refuted before any work.

bool Preprocessor::run(uint32_t rounds) {
  if (rounds == 0) return true;
  if (live_empty_ > 0) {
    if (!unsat_) {
      unsat_ = true;
      log_empty_clause();
    }
    return false;
  }
  for (uint32_t r = 0; r < rounds && !stop_requested();) {
    const uint64_t subsumed0 = subsumed, strengthened0 = strengthened, eliminated0 = eliminated_vars;
    if (!propagate()) return false;
    ++r;
    subsume();
    if (unsat_) return false;
    if (stop_requested()) return true;
    pure_literals();
    if (do_bve_ && !eliminate_vars()) return false;
    if (!propagate()) return false;
    if (subsumed == subsumed0 && strengthened == strengthened0 && eliminated_vars == eliminated0) return true;
  }
  return true;
}

}  // namespace qn::prep
