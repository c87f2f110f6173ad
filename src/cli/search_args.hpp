// The search program's command line (search_main.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

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
};

// False when an argument is unknown or malformed.
bool parse_search_args(int argc, char **argv, SearchArgs *out);

}  // namespace qn::cli
