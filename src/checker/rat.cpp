// The checker's RAT check, over occurrence lists built on first use.
#include "checker/checker.hpp"

namespace qn::checker {

void Checker::build_occs() {
  occs_.assign(2ull * nvars_, {});
  for (size_t r = 0; r < arena_.size(); r += size_of(static_cast<CRef>(r)) + kExtra) {
    const CRef c = static_cast<CRef>(r);
    if (!present(c)) continue;
    const Lit *d = lits_of(c);
    for (uint32_t k = 0; k < size_of(c); ++k) occs_[d[k]].push_back(c);
  }
  occs_ready_ = true;
}

// RAT on the pivot p = c[0]: every resolvent of c with a present clause
// containing ~p, tautologies left out, must be RUP.  A resolvent is c
// followed by the other clause's literals that are neither ~p nor in c.
bool Checker::is_rat(std::span<const Lit> c, uint64_t *resolvents) {
  if (c.empty()) return false;
  // Built on the first RAT check; the sizing check is the same as growth's.
  if (!occs_ready_) build_occs();
  const Lit p = c[0];
  const Lit np = p ^ 1;
  std::vector<CRef> &occ = occs_[np];
  size_t k = 0;
  for (const CRef r : occ)
    if (present(r)) occ[k++] = r;
  occ.resize(k);
  for (const Lit l : c) marks_[l] = 1;
  bool ok = true;
  for (const CRef r : occ) {
    const uint32_t n = size_of(r);
    const Lit *d = lits_of(r);
    rat_resolvent_.assign(c.begin(), c.end());
    bool tautology = false;
    for (uint32_t j = 0; j < n; ++j) {
      const Lit l = d[j];
      if (l == np) continue;
      if (marks_[l ^ 1]) {
        tautology = true;
        break;
      }
      if (!marks_[l]) rat_resolvent_.push_back(l);
    }
    if (tautology) continue;
    ++*resolvents;
    if (!is_rup(rat_resolvent_)) {
      ok = false;
      break;
    }
  }
  for (const Lit l : c) marks_[l] = 0;
  return ok;
}

}  // namespace qn::checker
