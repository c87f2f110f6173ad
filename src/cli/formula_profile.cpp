// Profiles of formulas (formula_profile.hpp).
#include "cli/formula_profile.hpp"

#include <unordered_map>

namespace qn::cli {
namespace {

// Occurrences per variable: in a table indexed by variable for variables
// within a small multiple of the literals counted, in a map beyond, so that
// a formula naming one huge variable costs no table up to it.
class Occurrences {
 public:
  explicit Occurrences(size_t lits) : dense_limit_(2 * lits + 1024) {}

  // Counts one occurrence of v; true at its first.
  bool add(Var v) {
    if (v >= dense_limit_) return sparse_[v]++ == 0;
    if (v >= dense_.size()) dense_.resize(size_t{v} + 1, 0);
    return dense_[v]++ == 0;
  }
  uint64_t count(Var v) const { return v < dense_limit_ ? dense_[v] : sparse_.at(v); }

 private:
  size_t dense_limit_;
  std::vector<uint64_t> dense_;
  std::unordered_map<Var, uint64_t> sparse_;
};

}  // namespace

FormulaProfile profile(const Formula &f) {
  FormulaProfile p;
  Occurrences count(f.num_lits());
  std::vector<Var> order;  // variables in the order of their first occurrence
  for (size_t i = 0; i < f.size(); ++i) {
    const size_t len = f.clause_len(i);
    p.lengths.add(len);
    const Lit *c = f.clause(i);
    size_t negated = 0;
    for (size_t k = 0; k < len; ++k) {
      negated += is_neg(c[k]);
      if (count.add(var_of(c[k]))) order.push_back(var_of(c[k]));
    }
    if (len != 0 && negated == len) p.negative.add(len);
    if (len != 0 && negated == 0) p.positive.add(len);
  }
  p.occurrences.resize(order.size());
  for (size_t i = 0; i < order.size(); ++i) p.occurrences[i] = count.count(order[i]);
  return p;
}

int64_t first_falsified(const Formula &f, const char *model, size_t n) {
  for (size_t i = 0; i < f.size(); ++i) {
    const Lit *c = f.clause(i);
    bool sat = false;
    for (size_t k = 0; k < f.clause_len(i) && !sat; ++k) {
      const Var v = var_of(c[k]);
      sat = v < n && (model[v] != 0) != is_neg(c[k]);
    }
    if (!sat) return static_cast<int64_t>(i);
  }
  return -1;
}

}  // namespace qn::cli
