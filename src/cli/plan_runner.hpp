// Runs a plan (plan.hpp) over a formula on one thread: its members take
// turns, each a runner (runner.hpp) of its own, made at its first turn and
// given every clause then.  Conflicts alone decide the turns, so the same
// formula, plan and limits give the same winner, model and proof.  Each
// member streams its proof to a file of its own (member_proof_path); the
// caller keeps the winner's, or without one the busiest member's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/formula.hpp"
#include "cli/plan.hpp"
#include "cli/runner.hpp"

namespace qn::cli {

using NamedConfigs = std::map<std::string, Config>;
using TimePoint = std::chrono::steady_clock::time_point;

struct Limits {
  std::optional<uint64_t> max_conflicts;  // every member's conflicts together
  std::optional<TimePoint> deadline;
};

// Where members stream their proofs: files in `folder` (empty: no proof).
struct MemberProofs {
  std::string folder;
  bool binary = false;
  std::string prefix;  // of the file names, for the plans of several threads
  int direct = -1;     // the proof itself: a plan of one member streams straight to it
  std::string path(const std::string &name) const { return folder + "/" + prefix + name + ".drat"; }
};

class PlanRunner {
 public:
  // The runner holds `formula` until every member has it.
  PlanRunner(std::shared_ptr<const Formula> formula, uint32_t nvars, Plan plan, const NamedConfigs &configs, MemberProofs proofs,
             std::shared_ptr<std::atomic<bool>> stop);

  // Turns until an answer, the conflict limit, the deadline or a stop;
  // `on_slice` runs after every slice left without an answer.  A plan of
  // one member searches as in_slices does.
  uint8_t run(const Limits &limits, const std::function<void()> &on_slice);

  const Plan &plan() const { return plan_; }
  uint64_t conflicts() const;  // every member's
  // The member that answered, or -1.
  int winner() const { return winner_; }
  // The winner, or without one the member that searched most (the first of them).
  size_t kept() const;
  Runner &member(size_t i) { return *members_[i]; }
  // Member i made already, with every clause: it is not made again.
  void adopt(size_t i, std::unique_ptr<Runner> r);
  uint64_t member_conflicts(size_t i) const;
  bool started(size_t i) const { return members_[i] != nullptr; }
  // Every started member's counters added up.
  Stats total() const;

 private:
  Runner &start(size_t i);

  std::shared_ptr<const Formula> formula_;
  uint32_t nvars_;
  Plan plan_;
  const NamedConfigs &configs_;
  MemberProofs proofs_;
  std::shared_ptr<std::atomic<bool>> stop_;
  std::vector<std::unique_ptr<Runner>> members_;
  int winner_ = -1;
};

// The proof file of member `name` (nullptr without a folder), or with
// `direct` a duplicate of the proof's own descriptor; throws
// std::system_error when it cannot be created.
std::unique_ptr<ProofFile> open_member_proof(const MemberProofs &proofs, const std::string &name, bool direct);

// Runs one runner in slices of `slice` conflicts (0: one call) up to
// `limit` conflicts and the deadline, `on_slice` after each slice left
// without an answer; stops after a slice when the stop flag is up.
uint8_t in_slices(Runner &r, uint64_t slice, std::optional<uint64_t> limit, std::optional<TimePoint> deadline,
                  const std::atomic<bool> &stop, const std::function<void()> &on_slice);

}  // namespace qn::cli
