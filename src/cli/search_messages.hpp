// The search program's messages to the command (search_wire.hpp), written
// whole to its standard output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/search_wire.hpp"
#include "preprocess/preprocessor.hpp"
#include "solver/solver.hpp"

namespace qn::cli {

// The counters as message text; `seconds` last.
std::string solver_counters(const Solver *s, double seconds);
// Counters of several solvers: `all_conflicts` when they are a plan's.
std::string stats_counters(const Stats &st, std::optional<uint64_t> all_conflicts, double seconds);
// The counters a portfolio's race reports: conflicts, decisions, propagations, restarts, and
// every configuration's conflicts.
std::string race_counters(const Stats &st, uint64_t all_conflicts, double seconds);
std::string prep_counters(const prep::Preprocessor &p, double seconds);

// Messages to a descriptor, or kept in memory (every kind but progress) for
// a caller in the same process.
class Messages {
 public:
  explicit Messages(int fd) : fd_(fd) {}
  explicit Messages(std::string *kept) : kept_(kept) {}
  void send(wire::Kind kind, std::string_view payload);
  void answer(uint8_t answer, const std::string &counters, const std::vector<bool> *model);
  // A caller in this process is told more: every run's winner and all conflicts.
  bool in_process() const { return kept_ != nullptr; }

 private:
  int fd_ = -1;
  std::string *kept_ = nullptr;
  std::string buf_;
};

}  // namespace qn::cli
