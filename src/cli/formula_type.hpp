// The type Formula of quillon_native_cli._scan: clauses read natively
// (formula.hpp) for a driver or the portfolio, with no object per clause.
#pragma once

#include "cli/py_glue.hpp"  // first: Python.h before any standard header

#include <cstdint>
#include <vector>

#include "cli/formula.hpp"

namespace qn::cli {

struct FormulaState {
  Formula f;
  uint32_t nvars = 0;
  std::vector<int64_t> codes;  // scratch of the clause input
  std::vector<Lit> lits;
  bool add(const Lit *l, size_t n) {
    f.add(l, n);
    return true;
  }
};

}  // namespace qn::cli
