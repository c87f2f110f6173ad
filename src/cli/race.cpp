#include "cli/race.hpp"

#include <pthread.h>
#include <time.h>

#include <thread>

#include "cli/stop.hpp"

namespace qn::cli {
namespace {

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void add(Stats &to, const Stats &st) {
#define QN_ADD_STAT(name, place) to.name += st.name;
  QN_SOLVER_STATS(QN_ADD_STAT)
#undef QN_ADD_STAT
}

}  // namespace

Race::Race(std::shared_ptr<const Formula> formula, uint32_t nvars, const std::vector<Plan> &plans,
           const NamedConfigs &configs, const MemberProofs &proofs)
    : stop_(std::make_shared<std::atomic<bool>>(stop_signal_received() != 0)),
      counts_(plans.size()),
      cpu_(plans.size(), 0.0) {
  for (size_t t = 0; t < plans.size(); ++t) {
    MemberProofs mine = proofs;
    mine.prefix = std::to_string(t) + "-";
    mine.direct = -1;  // one file per member: the winner is known at the end
    runners_.push_back(std::make_unique<PlanRunner>(formula, nvars, plans[t], configs, mine, stop_));
  }
}

void Race::thread_main(size_t t, const Limits &limits, const std::function<void(const Stats &)> &on_slice) {
  try {
    PlanRunner &pr = *runners_[t];
    const uint8_t answer = pr.run(limits, [&] {
      const Stats mine = pr.total();  // a thread reads only its own runners
      std::lock_guard<std::mutex> g(lock_);
      counts_[t] = mine;
      Stats sum;
      for (const Stats &st : counts_) add(sum, st);
      on_slice(sum);
    });
    if (answer != kUnknown) {
      std::lock_guard<std::mutex> g(lock_);
      if (winner_ < 0) {
        winner_ = static_cast<int>(t);
        answer_ = answer;
        stop_->store(true);
      }
    }
  } catch (...) {  // handed to run(); the others stop
    std::lock_guard<std::mutex> g(lock_);
    if (!error_) error_ = std::current_exception();
    stop_->store(true);
  }
  cpu_[t] = thread_cpu_seconds();
}

void Race::run(const Limits &limits, const std::function<void(const Stats &)> &on_slice) {
  watch_portfolio_flag(stop_.get());
  std::vector<std::thread> threads;
  for (size_t t = 0; t < runners_.size(); ++t) {
    threads.emplace_back([this, t, &limits, &on_slice] { thread_main(t, limits, on_slice); });
  }
  for (std::thread &th : threads) th.join();
  watch_portfolio_flag(nullptr);
  if (error_) std::rethrow_exception(error_);
}

std::pair<size_t, size_t> Race::kept() const {
  if (winner_ >= 0) return {static_cast<size_t>(winner_), runners_[winner_]->kept()};
  std::pair<size_t, size_t> best{runners_.size(), 0};
  uint64_t most = 0;
  for (size_t t = 0; t < runners_.size(); ++t) {
    for (size_t i = 0; i < runners_[t]->plan().members.size(); ++i) {
      if (!runners_[t]->started(i)) continue;
      const uint64_t c = runners_[t]->member_conflicts(i);
      if (best.first == runners_.size() || c > most) best = {t, i}, most = c;
    }
  }
  return best;
}

uint64_t Race::conflicts() const {
  uint64_t n = 0;
  for (const auto &r : runners_) n += r->conflicts();
  return n;
}

}  // namespace qn::cli
