// Plans racing on threads: thread t runs plans[t] (plan_runner.hpp) over one
// shared formula; the first answer in time wins and stops the others.
// Within a thread conflicts decide everything, as in one plan; which thread
// answers first is decided by time.  A stop signal stops every thread (the
// race's flag is watched by the signal handler while it runs).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "cli/plan_runner.hpp"

namespace qn::cli {

class Race {
 public:
  Race(std::shared_ptr<const Formula> formula, uint32_t nvars, const std::vector<Plan> &plans,
       const NamedConfigs &configs, const MemberProofs &proofs);

  // Runs every thread to its end; `on_slice(totals)` after every slice left
  // without an answer, with every thread's counters at its last slice end
  // added up (called under the race's lock, one thread at a time).
  void run(const Limits &limits, const std::function<void(const Stats &)> &on_slice);

  int winner() const { return winner_; }  // the thread that answered first, or -1
  uint8_t answer() const { return answer_; }
  PlanRunner &thread(size_t t) { return *runners_[t]; }
  size_t threads() const { return runners_.size(); }
  double cpu_seconds(size_t t) const { return cpu_[t]; }
  // The kept runner and member: the winner's, or without one the member
  // that searched most (the first of them, thread by thread).
  std::pair<size_t, size_t> kept() const;
  uint64_t conflicts() const;  // every member's of every thread

 private:
  void thread_main(size_t t, const Limits &limits, const std::function<void(const Stats &)> &on_slice);

  std::shared_ptr<std::atomic<bool>> stop_;
  std::vector<std::unique_ptr<PlanRunner>> runners_;
  std::vector<Stats> counts_;  // each thread's counters at its last slice end
  std::vector<double> cpu_;
  std::mutex lock_;
  int winner_ = -1;
  uint8_t answer_ = kUnknown;
  std::exception_ptr error_;
};

}  // namespace qn::cli
