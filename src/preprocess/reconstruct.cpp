// Model reconstruction: extends a model of the reduced formula to every
// variable of the input.  Fixed values are put back first; then the
// elimination entries are undone from the last to the first, each choosing
// its variable's value so that the clauses removed with it hold.
#include "preprocess/preprocessor.hpp"

namespace qn::prep {

ReconstructError Preprocessor::reconstruct(const std::vector<bool> &model, std::vector<bool> *out) const {
  std::vector<bool> &a = *out;
  a.assign(nvars_, false);
  const size_t given = std::min<size_t>(model.size(), nvars_);
  for (size_t v = 0; v < given; ++v) a[v] = model[v];
  for (Var v = 0; v < nvars_; ++v) {
    if (vals_[v] == kTrue) a[v] = true;
    if (vals_[v] == kFalse) a[v] = false;
  }

  auto satisfied = [&](uint32_t ci) {
    const Lit *c = elim_lits_.data() + elim_clause_start_[ci];
    for (uint32_t k = 0; k < elim_clause_len_[ci]; ++k) {
      if (a[var_of(c[k])] != is_neg(c[k])) return true;
    }
    return false;
  };

  for (size_t e = elim_stack_.size(); e-- > 0;) {
    const EliminationEntry &entry = elim_stack_[e];
    const Lit pos = mk_lit(entry.var), negl = mk_lit(entry.var, true);
    bool has_pos = false, has_neg = false, all = true;
    for (uint32_t ci = entry.first; ci < entry.first + entry.count; ++ci) {
      if (satisfied(ci)) continue;
      all = false;
      const Lit *c = elim_lits_.data() + elim_clause_start_[ci];
      for (uint32_t k = 0; k < elim_clause_len_[ci]; ++k) {
        has_pos = has_pos || c[k] == pos;
        has_neg = has_neg || c[k] == negl;
      }
    }
    if (all) continue;
    if (has_pos && has_neg) return {ReconstructError::Kind::BothPolarities, entry.var};
    a[entry.var] = has_pos;
    for (uint32_t ci = entry.first; ci < entry.first + entry.count; ++ci) {
      if (!satisfied(ci)) return {ReconstructError::Kind::Failed, entry.var};
    }
  }
  return {};
}

}  // namespace qn::prep
