// The search program's command line (search_main.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "solver/config.hpp"

namespace qn::cli {

struct SearchArgs {
  uint32_t nvars = 0;
  bool proof = false;
  bool binary_proof = false;
  bool preprocess = false;
  uint32_t rounds = 0;
  uint64_t slice = 0;
  std::optional<uint64_t> max_conflicts;
  std::optional<std::chrono::steady_clock::time_point> deadline;
  Config config;
  // auto: the plan chosen from the formula, of the named configurations
  // given; its members' proofs go to files in proof_dir.
  bool auto_plan = false;
  std::map<std::string, Config> named;
  std::string proof_dir;
  uint64_t probe_clauses = 0;    // formulas of these clauses or more are probed first
  uint64_t probe_conflicts = 0;  // for these conflicts (0: never)
  // Races on threads instead of auto's plan: auto's thread plans, or the
  // named configurations alone.
  uint32_t threads = 0;
  std::vector<std::string> portfolio;
};

// False when an argument is unknown or malformed.
bool parse_search_args(int argc, char **argv, SearchArgs *out);

}  // namespace qn::cli
