// check_proof: a forward pass over a DRAT proof.
//
// Set-up stores the formula and propagates its units; a formula refuted by
// that alone is accepted without looking at the proof.  Then each step in
// order: a deletion removes the most recent copy of its clause (unless it
// is a unit, absent, or unit under the top-level assignment of a clause
// set not yet refuted); an addition must be RUP, or RAT on its first
// literal, and is then stored.  The pass stops at the first failing step
// or at the empty clause.
#include <vector>

#include "checker/checker.hpp"

namespace qn::checker {

const char kMsgRefutedInput[] = "input formula is refuted by unit propagation alone";
const char kMsgDerived[] = "empty clause derived and every step verified";
const char kMsgNoEmptyClause[] = "every step verified, but the proof never derives the empty clause";
const char kMsgNotRup[] = "clause is not RUP (RAT checking disabled)";
const char kMsgNotRupNorRat[] = "clause is neither RUP nor RAT with respect to the clauses available at this point";

namespace {

// Drops repeated literals from `lits` (first occurrence kept), sizing the
// checker for them first.  A repeated literal would otherwise hide a unit
// clause such as [a, a] from propagation, and give a deletion like [a, a]
// the key of the unit [a].
std::span<const Lit> normalise(Checker &ck, std::vector<Lit> &lits) {
  ck.grow(lits);
  lits.resize(ck.dedupe(lits.data(), lits.size()));
  return lits;
}

}  // namespace

Run::Run(uint32_t nvars, Options opts) : ck_(std::make_unique<Checker>(nvars, opts)), opts_(opts) {}
Run::~Run() = default;

void Run::reserve(uint32_t nvars, size_t clauses, size_t lits) {
  ck_->grow_vars(nvars);
  ck_->reserve(clauses, lits);
}

void Run::add_clause(std::span<const Lit> clause) {
  cur_.assign(clause.begin(), clause.end());
  const auto c = normalise(*ck_, cur_);
  ck_->insert(c);
  if (c.empty()) ck_->set_inconsistent();
}

void Run::start() {
  ck_->watch_formula();
  if (ck_->inconsistent() || !ck_->assign_input_units()) {
    v_.ok = true;
    v_.empty_derived = true;
    v_.message = kMsgRefutedInput;
    decided_ = true;
  }
}

void Run::step(bool deletion, std::span<const Lit> clause) {
  if (decided_) return;
  cur_.assign(clause.begin(), clause.end());
  check(deletion, normalise(*ck_, cur_));
}

void Run::step(bool deletion, std::vector<Lit> &lits) {
  if (decided_) return;
  check(deletion, normalise(*ck_, lits));
}

void Run::check(bool deletion, std::span<const Lit> c) {
  Checker &ck = *ck_;
  Verdict &v = v_;
  ++v.steps;
  bool failed = false;
  if (deletion) {
    if (c.size() <= 1) {
      ++v.deletions_skipped;
    } else {
      switch (ck.remove(c)) {
        case Checker::Deletion::Applied: ++v.deletions_applied; break;
        case Checker::Deletion::Skipped: ++v.deletions_skipped; break;
        case Checker::Deletion::Ignored: break;
      }
    }
  } else if (c.empty()) {
    if (ck.is_rup(c)) {
      ++v.rup;
      v.empty_derived = true;
    } else {
      failed = true;
    }
  } else if (ck.is_rup(c)) {
    ++v.rup;
    ck.add_lemma(c);
  } else if (!opts_.check_rat) {
    failed = true;
  } else if (ck.is_rat(c, &v.rat_resolvents)) {
    ++v.rat;
    ck.add_lemma(c);
  } else {
    failed = true;
  }
  if (v.empty_derived) {
    v.ok = true;
    v.message = kMsgDerived;
    decided_ = true;
  } else if (failed) {
    v.message = opts_.check_rat ? kMsgNotRupNorRat : kMsgNotRup;
    v.failing_step = static_cast<int64_t>(v.steps);
    decided_ = true;
  }
}

Verdict Run::verdict() const {
  Verdict v = v_;
  if (!decided_) v.message = kMsgNoEmptyClause;
  return v;
}

Verdict check_proof(uint32_t nvars, const ClauseList &formula, const Proof &proof, Options opts) {
  Run run(nvars, opts);
  run.reserve(0, formula.size(), formula.lits.size());
  for (size_t i = 0; i < formula.size(); ++i) run.add_clause(formula[i]);
  run.start();
  for (size_t i = 0; i < proof.size() && !run.decided(); ++i) run.step(proof.deletion[i] != 0, proof.clauses[i]);
  return run.verdict();
}

}  // namespace qn::checker
