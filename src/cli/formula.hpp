// A formula as read from a file: clauses of internal literals back to back,
// exactly as read (duplicates and tautologies are the solver's business), so
// that a solver given them sees the same calls as one given the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/lit.hpp"

namespace qn::cli {

class Formula {
 public:
  void add(const Lit *lits, size_t n) {
    lits_.insert(lits_.end(), lits, lits + n);
    ends_.push_back(lits_.size());
  }
  size_t size() const { return ends_.size(); }
  size_t num_lits() const { return lits_.size(); }
  const Lit *clause(size_t i) const { return lits_.data() + start(i); }
  size_t clause_len(size_t i) const { return ends_[i] - start(i); }
  size_t memory_bytes() const { return lits_.capacity() * sizeof(Lit) + ends_.capacity() * sizeof(uint64_t); }

 private:
  size_t start(size_t i) const { return i == 0 ? 0 : ends_[i - 1]; }
  std::vector<Lit> lits_;
  std::vector<uint64_t> ends_;  // per clause: one past its last literal
};

// The index of the first clause that `model` (a 0/1 byte per variable, n
// of them) leaves without a true literal, -1 if none.
inline int64_t first_falsified(const Formula &f, const char *model, size_t n) {
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
