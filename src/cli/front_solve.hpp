// `quillon-native solve` run by the native front end: the formula read here
// (front_reader.hpp) and searched on a thread (front_search.hpp) that the
// run follows (front_watch.hpp), with every line, message and exit code of
// the Python front end (solve.py, watch.py).
#pragma once

#include <optional>

#include "cli/front_args.hpp"

namespace qn::cli {

// The exit code of the run `a` asks for, or nullopt, having read nothing,
// when its input is no plain file of ours (standard input, a pipe, a
// compressed file, one that cannot be opened): the Python front end's then.
std::optional<int> solve_natively(const SolveArgs &a);

}  // namespace qn::cli
