// What the plans are chosen by, read off a Formula: its clauses counted by
// length (all, all-negative, all-positive) and its variables' occurrences;
// and the check of a model against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "cli/formula.hpp"

namespace qn::cli {

// Clauses counted by length: the common short lengths in an array, the
// rare long ones in a map.
class LengthCounts {
 public:
  void add(size_t len) {
    if (len < kShort) {
      ++short_[len];
    } else {
      ++long_[len];
    }
  }
  // f(length, clauses) for every length counted, shortest first.
  template <class F>
  void each(F &&f) const {
    for (size_t len = 0; len < kShort; ++len)
      if (short_[len] != 0) f(len, short_[len]);
    for (const auto &[len, n] : long_) f(len, n);
  }

 private:
  static constexpr size_t kShort = 64;
  uint64_t short_[kShort] = {};
  std::map<size_t, uint64_t> long_;
};

struct FormulaProfile {
  LengthCounts lengths;
  LengthCounts negative;  // non-empty clauses whose literals are all negative
  LengthCounts positive;  // ... all positive
  std::vector<uint64_t> occurrences;  // per variable that occurs, in the order of its first occurrence
};

FormulaProfile profile(const Formula &f);

// The index of the first clause that `model` (a 0/1 byte per variable, n
// of them) leaves without a true literal, -1 if none.
int64_t first_falsified(const Formula &f, const char *model, size_t n);

}  // namespace qn::cli
