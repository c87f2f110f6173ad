// Parity reasoning before the search: the clauses that together say
// "x1 + ... + xk = b (mod 2)" (all 2^(k-1) sign patterns of one parity over
// the same k variables, k small) are gathered into equations, and Gaussian
// elimination over GF(2) looks for the sum 0 = 1.  Found, the formula is
// unsatisfiable: its clauses imply every equation.  A refutation that way
// has no clausal proof, so a run asked for a proof does not try it.
#pragma once

#include <cstdint>

#include "cli/formula.hpp"

namespace qn::cli {

struct XorRefutation {
  uint64_t equations = 0;  // parity constraints found in the clauses
  uint64_t variables = 0;  // distinct variables in them
  uint64_t work = 0;       // literal steps of the elimination
  bool refuted = false;    // the equations sum to 0 = 1
  bool gave_up = false;    // the work budget ran out first
};

inline constexpr uint32_t kMaxXorWidth = 6;          // longest clause read as part of an equation
inline constexpr uint64_t kXorMaxClauses = 2000000;  // larger formulas are not read for equations
inline constexpr uint64_t kXorWorkBudget = 50000000;  // literal steps before the elimination gives up

XorRefutation refute_by_parity(const Formula &f, uint64_t budget = kXorWorkBudget);

}  // namespace qn::cli
