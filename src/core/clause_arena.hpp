// ClauseArena: clauses back to back in three flat arrays.  Clauses are only
// ever appended.  Each array grows to max(2 * capacity, 4) when full, which
// callers can observe through memory_bytes().
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "core/clause_scan.hpp"
#include "core/lit.hpp"

namespace qn {

class ClauseArena {
 public:
  explicit ClauseArena(uint32_t nvars = 0) : nvars_(nvars) {}

  // Appends the clause with later duplicates dropped, in input order.
  // Returns false (storing nothing) for a tautology; `nvars` keeps any raise
  // made by literals appended before the complementary pair was met.  The
  // literals before that pair are appended and then cut off again, so the
  // capacities (memory_bytes) grow exactly as with a literal-by-literal scan.
  bool add(const Lit *in, size_t n) {
    const size_t start = lits_.size();
    // Clause starts are 32-bit offsets: an arena past 2^32 literals cannot
    // be addressed, so it is refused as out of memory before anything moves.
    if (n > UINT32_MAX - start) throw std::bad_alloc();
    const size_t closing = scan_.run(in, n);
    for (size_t i = 0; i < closing; ++i) {
      if (!scan_.first[i]) continue;
      push(lits_, in[i]);
      if (var_of(in[i]) >= nvars_) nvars_ = var_of(in[i]) + 1;
    }
    if (closing < n) {
      lits_.resize(start);
      return false;
    }
    push(starts_, static_cast<uint32_t>(start));
    push(lens_, static_cast<uint32_t>(lits_.size() - start));
    return true;
  }

  uint32_t num_vars() const { return nvars_; }
  size_t num_clauses() const { return starts_.size(); }
  size_t num_lits() const { return lits_.size(); }
  size_t memory_bytes() const { return 4 * (lits_.capacity() + starts_.capacity() + lens_.capacity()); }
  const Lit *clause(size_t i) const { return lits_.data() + starts_[i]; }
  uint32_t clause_len(size_t i) const { return lens_[i]; }

 private:
  template <class T>
  static void push(std::vector<T> &v, T x) {
    if (v.size() == v.capacity()) v.reserve(std::max<size_t>(2 * v.capacity(), 4));
    v.push_back(x);
  }

  std::vector<Lit> lits_;         // literals of all clauses, in insertion order
  std::vector<uint32_t> starts_;  // per clause: index of its first literal
  std::vector<uint32_t> lens_;    // per clause: number of literals
  uint32_t nvars_;                // raised to var + 1 by larger variables
  ClauseScan scan_;               // scratch of add()
};

}  // namespace qn
