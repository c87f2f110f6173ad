// Shared vocabulary of every native core: variables, literals, the value
// byte and proof steps.  Nothing here knows about Python.
#pragma once

#include <cstdint>
#include <vector>

namespace qn {

using Var = uint32_t;  // variable index, counted from 0
using Lit = uint32_t;  // 2 * var + negated; negation flips bit 0

inline constexpr Lit mk_lit(Var v, bool negated = false) { return (v << 1) | (negated ? 1u : 0u); }
inline constexpr Lit neg(Lit l) { return l ^ 1u; }
inline constexpr Var var_of(Lit l) { return l >> 1; }
inline constexpr bool is_neg(Lit l) { return (l & 1u) != 0; }

// Value byte, one per literal (solver, checker) or per variable (preprocessor).
inline constexpr uint8_t kUnassigned = 0;
inline constexpr uint8_t kTrue = 1;
inline constexpr uint8_t kFalse = 2;

// Internal literal to DIMACS.  The positive literal of variable 2^31 - 1 has
// no signed 32-bit form, so the result is widened to 64 bits.
inline constexpr int64_t to_dimacs(Lit l) {
  const int64_t v = static_cast<int64_t>(l >> 1) + 1;
  return (l & 1u) ? -v : v;
}

// DIMACS literal (non-zero) to internal, in 32-bit arithmetic:
// -2147483648 maps to 4294967295.
inline constexpr Lit from_dimacs(int32_t d) {
  const uint32_t mag = d < 0 ? 0u - static_cast<uint32_t>(d) : static_cast<uint32_t>(d);
  return 2u * (mag - 1u) + (d < 0 ? 1u : 0u);
}

// One DRAT step: an addition ("a") or a deletion ("d") of a clause.
struct ProofStep {
  bool deletion = false;
  std::vector<Lit> lits;
};

}  // namespace qn
