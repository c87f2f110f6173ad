// Symmetry breaking before the search.  The formula becomes a graph (a
// vertex per literal, joined to its negation, and a vertex per clause,
// joined to its literals); colour refinement with individualisation finds
// permutations of the vertices that keep the colours, each is checked to map
// the clause set onto itself, and each such symmetry adds lex-leader clauses
// over new variables: an assignment may only be as small as its image, in
// the order of the variables.  The smallest assignment of every orbit keeps
// them all, so the formula keeps a model exactly when it had one, and its
// models, cut to the formula's variables, are the formula's.  A refutation
// helped this way has no clausal proof, so a run asked for a proof does not
// use it.
#pragma once

#include <cstdint>

#include "cli/formula.hpp"

namespace qn::cli {

struct SymmetryBreaking {
  uint32_t generators = 0;  // symmetries found and checked
  uint64_t clauses = 0;     // lex-leader clauses added
  uint32_t nvars = 0;       // variables afterwards, the new ones included
  uint64_t work = 0;        // refinement steps spent
  bool gave_up = false;     // the work budget ran out before the search for symmetries ended
};

inline constexpr uint64_t kSymmetryMaxClauses = 5000;       // larger formulas are left as they are
inline constexpr uint64_t kSymmetryMaxLiterals = 200000;    // and formulas of longer clauses
inline constexpr uint64_t kSymmetryWorkBudget = 20000000;   // refinement steps before giving up
inline constexpr uint32_t kLexLeaderLength = 400;           // variables compared per symmetry

// Appends the lex-leader clauses of the symmetries found in `f` (over
// `nvars` variables) to `f`.
SymmetryBreaking break_symmetries(Formula *f, uint32_t nvars, uint64_t budget = kSymmetryWorkBudget);

}  // namespace qn::cli
