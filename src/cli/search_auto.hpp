// The run of the search program (search_main.cpp) and of _scan.run_plan:
// the plan its arguments ask for, or auto's, chosen from the formula's
// features, run by a plan runner.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

#include "cli/search_args.hpp"
#include "cli/search_messages.hpp"
#include "core/lit.hpp"

namespace qn::cli {

using AddClause = std::function<void(const Lit *, size_t)>;
// Hands every clause to `add`, then sets the proof's descriptor (-1: none;
// the run closes it); false when the formula broke off (the caller gave up).
using ReadFormula = std::function<bool(const AddClause &add, int *proof_fd)>;

// Runs the search `a` asks for over the formula `read` gives, its messages
// to `out`, stopping at its next conflict once `stop` is up.
int search_auto(const SearchArgs &a, Messages &out, const ReadFormula &read, std::shared_ptr<std::atomic<bool>> stop);

}  // namespace qn::cli
