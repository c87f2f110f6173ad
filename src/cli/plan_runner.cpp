#include "cli/plan_runner.hpp"

#include <fcntl.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace qn::cli {
namespace {

using Clock = std::chrono::steady_clock;

uint64_t conflicts_of(const Runner &r) { return r.solver() != nullptr ? r.solver()->stats().conflicts : 0; }

}  // namespace

std::unique_ptr<ProofFile> open_member_proof(const MemberProofs &proofs, const std::string &name, bool direct) {
  if (direct && proofs.direct >= 0) {
    const int fd = ::fcntl(proofs.direct, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "the proof");
    return std::make_unique<ProofFile>(fd, proofs.binary);
  }
  if (proofs.folder.empty()) return nullptr;
  const std::string path = proofs.path(name);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
  return std::make_unique<ProofFile>(fd, proofs.binary);
}

uint8_t in_slices(Runner &r, uint64_t slice, std::optional<uint64_t> limit, std::optional<TimePoint> deadline,
                  const std::atomic<bool> &stop, const std::function<void()> &on_slice) {
  if (slice == 0) return r.solve(limit, deadline);
  std::optional<uint64_t> left = limit;
  for (;;) {
    const uint64_t before = conflicts_of(r);
    const uint8_t answer = r.solve(left ? std::min(slice, *left) : slice, deadline);
    if (answer != kUnknown || stop.load()) return answer;
    on_slice();
    if (left) {
      const uint64_t used = conflicts_of(r) - before;
      if (used >= *left) return kUnknown;
      *left -= used;
    }
    if (deadline && Clock::now() >= *deadline) return kUnknown;
  }
}

PlanRunner::PlanRunner(std::shared_ptr<const Formula> formula, uint32_t nvars, Plan plan, const NamedConfigs &configs,
                       MemberProofs proofs, std::shared_ptr<std::atomic<bool>> stop)
    : formula_(std::move(formula)),
      nvars_(nvars),
      plan_(std::move(plan)),
      configs_(configs),
      proofs_(std::move(proofs)),
      stop_(std::move(stop)),
      members_(plan_.members.size()) {}

void PlanRunner::adopt(size_t i, std::unique_ptr<Runner> r) {
  members_[i] = std::move(r);
  bool all = true;
  for (const auto &m : members_) all = all && m != nullptr;
  if (all) formula_.reset();
}

Runner &PlanRunner::start(size_t i) {
  if (members_[i]) return *members_[i];
  const Config config = member_config(plan_.members[i].name, configs_);
  const bool direct = plan_.members.size() == 1;
  auto r = std::make_unique<Runner>(nvars_, config, open_member_proof(proofs_, std::to_string(i), direct), false,
                                    stop_);
  const Formula &f = *formula_;
  for (size_t c = 0; c < f.size(); ++c) r->add_clause(f.clause(c), f.clause_len(c));
  members_[i] = std::move(r);
  bool all = true;
  for (const auto &m : members_) all = all && m != nullptr;
  if (all) formula_.reset();  // every member has it now
  return *members_[i];
}

uint64_t PlanRunner::member_conflicts(size_t i) const { return members_[i] ? conflicts_of(*members_[i]) : 0; }

uint64_t PlanRunner::conflicts() const {
  uint64_t n = 0;
  for (const auto &m : members_) n += m ? conflicts_of(*m) : 0;
  return n;
}

size_t PlanRunner::kept() const {
  if (winner_ >= 0) return static_cast<size_t>(winner_);
  size_t best = members_.size();
  for (size_t i = 0; i < members_.size(); ++i) {
    if (members_[i] && (best == members_.size() || conflicts_of(*members_[i]) > conflicts_of(*members_[best]))) {
      best = i;
    }
  }
  return best;
}

Stats PlanRunner::total() const {
  Stats out;
  for (const auto &m : members_) {
    if (!m || m->solver() == nullptr) continue;
    const Stats &st = m->solver()->stats();
#define QN_ADD_STAT(name, place) out.name += st.name;
    QN_SOLVER_STATS(QN_ADD_STAT)
#undef QN_ADD_STAT
  }
  return out;
}

// Member i searches shares(rnd)[i] slices in round rnd (from the head
// start), one member after the other in the round's order; a member is made at its first turn, even when a limit then
// ends the run before its first slice.
uint8_t PlanRunner::run(const Limits &limits, const std::function<void()> &on_slice) {
  if (plan_.members.size() == 1) {
    const uint8_t answer =
        in_slices(start(0), plan_.members[0].unit, limits.max_conflicts, limits.deadline, *stop_, on_slice);
    if (answer != kUnknown) winner_ = 0;
    return answer;
  }
  const int first = plan_.head ? Plan::kHead : plan_.opens() ? Plan::kOpening : 0;
  for (int rnd = first;; ++rnd) {
    const std::vector<uint64_t> shares = plan_.shares(rnd);
    for (const size_t i : plan_.order(rnd)) {
      if (shares[i] == 0) continue;
      Runner &r = start(i);
      for (uint64_t s = 0; s < shares[i]; ++s) {
        std::optional<uint64_t> k;
        if (plan_.members[i].unit) k = plan_.members[i].unit;
        if (limits.max_conflicts) {
          const uint64_t spent = conflicts();
          if (spent >= *limits.max_conflicts) return kUnknown;
          const uint64_t left = *limits.max_conflicts - spent;
          k = k ? std::min(*k, left) : left;
        }
        if (limits.deadline && Clock::now() >= *limits.deadline) return kUnknown;
        const uint8_t answer = r.solve(k, limits.deadline);
        if (answer != kUnknown) {
          winner_ = static_cast<int>(i);
          return answer;
        }
        on_slice();
        if (stop_->load()) return kUnknown;
      }
    }
  }
}

}  // namespace qn::cli
