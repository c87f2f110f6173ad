// The command line of `quillon-native solve` as the native front end takes
// it: the options of solve_options.py, each given whole (--name VALUE,
// --name=VALUE, -q), with values it can read exactly as the Python front
// end reads them, and none of the combinations that front end refuses.
// Anything else (--help, --check, standard input, an abbreviated
// or unknown option, a value it would refuse) is left to the Python front
// end, which says what it says about it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "solver/config.hpp"

namespace qn::cli {

// A Solver option's value as the search program reads it and as the
// configuration line shows it (Python's str()).
struct OptionText {
  std::string name;
  std::string value;  // for the search program
  std::string shown;
};

struct SolveArgs {
  std::string file;
  bool quiet = false;
  bool verbose = false;
  bool preprocess = false;
  bool relaxed = false;
  bool force = false;
  bool binary_proof = false;
  std::optional<std::string> proof;
  std::optional<double> seconds;
  std::optional<uint64_t> max_conflicts, slice;
  std::optional<uint32_t> seed, rounds, portfolio, threads;
  std::optional<std::string> config;
  std::vector<OptionText> options;  // the Solver options given, in the table's order

  bool auto_plan() const;                // auto's plan (no configuration, option or seed)
  std::vector<OptionText> solver_options() const;  // the configuration's, the options given and the seed
};

// The arguments after `solve`, or none when the Python front end is to take them.
// The named configurations as the search program takes them: one
// "--named=NAME,OPTION=VALUE,..." argument each.
std::vector<std::string> named_specs();

std::optional<SolveArgs> parse_solve_args(const std::vector<std::string> &args);

}  // namespace qn::cli
