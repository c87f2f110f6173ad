// The search program's run: one configuration alone (a plan of one member),
// or auto, where the formula is kept as read, its features choose a plan
// (plan.hpp) and a plan runner (plan_runner.hpp) runs it, or a race of
// plans on threads (race.hpp).  A
// large structured formula is probed first: the default searches alone as
// `--config default` does, and a formula still open is preprocessed and
// searched with the plan of the simplified formula.  With `--preprocess` the
// preprocessor takes the clauses as they come.  Each member streams its
// proof to a file in the proof folder; the winner's (or without one the
// busiest member's) is copied into the proof, after the preprocessor's steps.
#include "cli/search_auto.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/plan_runner.hpp"
#include "cli/race.hpp"
#include "cli/stop.hpp"
#include "cli/symmetry.hpp"
#include "cli/xor_refute.hpp"

namespace qn::cli {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char *kProbeName = "default";

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

uint8_t answer_byte(uint8_t answer) {
  return answer == kSat ? wire::kAnswerSat : answer == kUnsat ? wire::kAnswerUnsat : wire::kAnswerUnknown;
}

// Appends the file at `path` to descriptor `out`; 0 or an errno.
int append_file(const std::string &path, int out) {
  const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  std::vector<char> buf(size_t{1} << 20);
  int err = 0;
  for (;;) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : 0;
      break;
    }
    for (ssize_t done = 0; done < n && err == 0;) {
      const ssize_t w = ::write(out, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) err = w < 0 ? errno : EIO;
      else done += w;
    }
    if (err) break;
  }
  ::close(in);
  return err;
}

class AutoSearch {
 public:
  AutoSearch(const SearchArgs &a, Messages &out, const ReadFormula &input, std::shared_ptr<std::atomic<bool>> stop)
      : a_(a), out_(out), input_reader_(input), stop_(std::move(stop)), proofs_{a.proof_dir, a.binary_proof, "", -1} {
    if (!a.proof) proofs_.folder.clear();
    named_["config"] = a.config;  // the configuration of a run without a plan
  }

  AutoSearch(const AutoSearch &) = delete;
  AutoSearch &operator=(const AutoSearch &) = delete;
  ~AutoSearch() {
    if (target_ >= 0) ::close(target_);  // a run that failed before reporting its proof
  }

  int run() {
    if (a_.preprocess) {
      start_preprocessor();
    } else if (!a_.auto_plan) {  // one configuration: its solver takes the clauses as they come
      std::unique_ptr<ProofFile> file;
      if (a_.proof) file = std::make_unique<ProofFile>(-1, a_.binary_proof);
      alone_ = std::make_unique<Runner>(nvars_, a_.config, std::move(file), false, stop_);
    }
    out_.send(wire::kReady, "");
    if (!read()) return 0;  // the command gave up
    if (a_.proof && target_ < 0) {
      out_.send(wire::kError, "no proof file was given");
      return 1;
    }
    t0_ = Clock::now();
    proofs_.direct = target_;
    if (!a_.auto_plan) return (!pre_ || preprocess(a_.rounds)) ? search(Plan{{{"config", 1, a_.slice}}, 1.0, 0, ""}, false) : 0;
    if (!a_.proof && !pre_ && a_.portfolio.empty() && refuted_by_parity()) return 0;
    if (a_.threads) {
      if (!a_.proof) break_symmetries();
      return race(thread_plans(a_.threads));
    }
    if (!a_.portfolio.empty() && !pre_) return race(portfolio_plans(a_.portfolio));
    if (!pre_) {
      const Features feat = features_of(nvars_, input_);
      if (const uint32_t rounds = preprocess_first(feat)) {
        out_.send(wire::kComment, describe_preprocess(feat, rounds));
        start_preprocessor();
        pre_->set_incremental(true);  // many rounds, each taking apart one layer
        for (size_t c = 0; c < input_.size(); ++c) add_to_preprocessor(input_.clause(c), input_.clause_len(c));
        input_ = Formula();
        if (!preprocess(rounds)) return 0;
        return search(choose_plan(features_of(nvars_, input_), a_.slice), true);
      }
      if (!probes(feat, probe_)) {
        if (!a_.proof) break_symmetries();
        return search(choose_plan(feat, a_.slice), true);
      }
      if (probe(feat)) return 0;
      start_preprocessor();
      for (size_t c = 0; c < input_.size(); ++c) add_to_preprocessor(input_.clause(c), input_.clause_len(c));
      input_ = Formula();
    }
    if (!preprocess(a_.rounds)) return 0;
    if (!a_.portfolio.empty()) return race(portfolio_plans(a_.portfolio));
    return search(choose_plan(features_of(nvars_, input_), a_.slice), true);
  }

 private:
  void start_preprocessor() {
    if (a_.proof) prep_proof_ = std::make_unique<ProofFile>(-1, a_.binary_proof);
    pre_ = make_preprocessor(nvars_, prep_proof_.get(), stop_);
  }

  void add_to_preprocessor(const Lit *lits, size_t n) {
    scratch_.assign(lits, lits + n);
    Var bad = 0;
    pre_->add_clause(scratch_, &bad);
  }

  bool read() {
    return input_reader_(
        [&](const Lit *lits, size_t n) {
          for (size_t k = 0; k < n; ++k) nvars_ = std::max<uint32_t>(nvars_, var_of(lits[k]) + 1);
          if (pre_) add_to_preprocessor(lits, n);
          else if (alone_) alone_->add_clause(lits, n);
          else input_.add(lits, n);
        },
        &target_);
  }

  // Auto without a proof: parity equations in the clauses that sum to
  // 0 = 1 answer before any search.
  bool refuted_by_parity() {
    const XorRefutation x = refute_by_parity(input_);
    if (!x.refuted) return false;
    out_.send(wire::kComment, "parity: " + std::to_string(x.equations) + " equations over " +
                                  std::to_string(x.variables) + " variables sum to 0 = 1 (Gaussian elimination)");
    answer_unsat_without_search();
    return true;
  }

  // UNSAT found before any search (by the preprocessor or the parity
  // equations): no solver's counters, all conflicts the probe's.
  void answer_unsat_without_search() {
    std::string counters = solver_counters(nullptr, since(t0_));
    if (out_.in_process()) counters.insert(0, "all_conflicts=" + std::to_string(spent_) + "\n");
    out_.answer(wire::kAnswerUnsat, counters, nullptr);
  }

  // Auto without a proof: lex-leader clauses for the formula's symmetries,
  // over new variables that the model leaves out.
  void break_symmetries() {
    const SymmetryBreaking s = cli::break_symmetries(&input_, nvars_);
    if (s.generators == 0) return;
    out_.send(wire::kComment, "symmetry: " + std::to_string(s.generators) + " symmetries, broken by " +
                                  std::to_string(s.clauses) + " lex-leader clauses over " +
                                  std::to_string(s.nvars - nvars_) + " new variables");
    model_vars_ = nvars_;
    nvars_ = s.nvars;
  }

  // The probe: true when the run ended there (answered, or at a limit or a stop).
  bool probe(const Features &feat) {
    out_.send(wire::kComment, describe_probe(feat, a_.slice, probe_));
    Runner probe(nvars_, a_.named.at(kProbeName), open_member_proof(proofs_, "probe", false), false, stop_);
    for (size_t c = 0; c < input_.size(); ++c) probe.add_clause(input_.clause(c), input_.clause_len(c));
    const uint64_t limit = a_.max_conflicts ? std::min(probe_.conflicts, *a_.max_conflicts) : probe_.conflicts;
    const uint8_t answer = in_slices(probe, a_.slice, limit, a_.deadline, *stop_, [&] {
      out_.send(wire::kProgress, solver_counters(probe.solver(), since(t0_)));
    });
    spent_ = probe.solver()->stats().conflicts;
    const bool open = answer == kUnknown && !stop_->load() && (!a_.max_conflicts || spent_ < *a_.max_conflicts) &&
                      (!a_.deadline || Clock::now() < *a_.deadline);
    if (open) {
      if (!proofs_.folder.empty()) {
        probe.proof()->close();
        ::unlink(proofs_.path("probe").c_str());
      }
      return false;
    }
    report(answer, probe, solver_counters(probe.solver(), since(t0_)));
    if (out_.in_process() && answer != kUnknown) out_.send(wire::kWinner, kProbeName);
    if (a_.proof) keep_proof(probe, proofs_.path("probe"));
    return true;
  }

  // Runs the preprocessor for up to `rounds` rounds (its steps go first in
  // the proof); false when it refuted the formula, which is then reported.
  bool preprocess(uint32_t rounds) {
    if (prep_proof_) prep_proof_->attach(::dup(target_));
    const Clock::time_point started = Clock::now();
    const bool ok = pre_->run(rounds);
    out_.send(wire::kPrep, prep_counters(*pre_, since(started)));
    if (prep_proof_) {
      prep_proof_->close();
      first_ = prep_proof_->steps();
      first_error_ = prep_proof_->error();
    }
    if (!ok) {
      answer_unsat_without_search();
      if (a_.proof) proof_message(first_error_, first_);
      return false;
    }
    for (prep::ClauseId i = 0; i < pre_->num_slots(); ++i) {
      if (pre_->is_live(i)) input_.add(pre_->clause(i), pre_->clause_len(i));
    }
    nvars_ = pre_->nvars();
    return true;
  }

  // Runs `plan` (announced as auto's); a plan of one member streams its proof straight into the proof.
  int search(const Plan &plan, bool announce) {
    if (announce) out_.send(wire::kComment, plan.describe());
    PlanRunner pr(std::make_shared<const Formula>(std::move(input_)), nvars_, plan, named_, proofs_, stop_);
    if (alone_) {
      if (ProofFile *p = alone_->proof()) p->attach(::fcntl(target_, F_DUPFD_CLOEXEC, 3));
      pr.adopt(0, std::move(alone_));
    }
    Limits limits{std::nullopt, a_.deadline};
    if (a_.max_conflicts) limits.max_conflicts = *a_.max_conflicts - spent_;
    const uint8_t answer =
        pr.run(limits, [&] { out_.send(wire::kProgress, stats_counters(pr.total(), std::nullopt, since(t0_))); });
    const size_t kept = pr.kept();
    const bool several = plan.members.size() > 1;
    const bool told_all = several || out_.in_process();
    std::optional<uint64_t> all;
    if (told_all) all = pr.conflicts() + spent_;
    report(answer, pr.member(kept), stats_counters(pr.member(kept).solver()->stats(), all, since(t0_)));
    if (told_all && pr.winner() >= 0) out_.send(wire::kWinner, plan.members[pr.winner()].name);
    if (several && a_.proof) out_.send(wire::kComment, "proof of " + plan.members[kept].name);
    if (a_.proof) keep_proof(pr.member(kept), several ? proofs_.path(std::to_string(kept)) : "");
    return 0;
  }

  // Threads, each running a plan of its own; the first answer in time wins.
  int race(const std::vector<Plan> &plans) {
    const bool portfolio = !a_.portfolio.empty();
    if (!portfolio) {
      std::string line = "threads " + std::to_string(plans.size()) + ", racing (the first answer in time wins): ";
      for (size_t t = 0; t < plans.size(); ++t) {
        line += (t ? "; thread " : "thread ") + std::to_string(t + 1) + ": " + plans[t].describe_thread();
      }
      out_.send(wire::kComment, line);
    }
    Race race(std::make_shared<const Formula>(std::move(input_)), nvars_, plans, named_, proofs_);
    race.run(Limits{std::nullopt, a_.deadline},
             [&](const Stats &sum) { out_.send(wire::kProgress, stats_counters(sum, std::nullopt, since(t0_))); });
    // A stopped portfolio keeps its first configuration's proof.
    const auto [t, i] = portfolio && race.winner() < 0 ? std::pair<size_t, size_t>{0, 0} : race.kept();
    const std::string &name = race.thread(t).plan().members[i].name;
    if (race.winner() >= 0 && !portfolio) {
      std::string line = "thread " + std::to_string(t + 1) + " (" + name + ") answered first; CPU seconds by thread: ";
      char text[32];
      for (size_t k = 0; k < race.threads(); ++k) {
        std::snprintf(text, sizeof(text), "%s%.2f", k ? ", " : "", race.cpu_seconds(k));
        line += text;
      }
      out_.send(wire::kComment, line + "; a race is decided by time, another run may end otherwise");
    }
    Runner &kept = race.thread(t).member(i);
    const uint8_t answer = race.answer();
    if (portfolio && answer == kUnknown) {
      out_.send(wire::kComment, "counters of " + name + "; all conflicts: every configuration's");
    }
    if (portfolio) report(answer, kept, race_counters(kept.solver()->stats(), race.conflicts(), since(t0_)));
    else report(answer, kept, stats_counters(kept.solver()->stats(), race.conflicts(), since(t0_)));
    if (answer != kUnknown) out_.send(wire::kWinner, name);
    if (a_.proof) {
      out_.send(wire::kComment, "proof of " + name);
      keep_proof(kept, proofs_.path(std::to_string(t) + "-" + std::to_string(i)));
    }
    return 0;
  }

  // The answer of runner `r`: its counters, and the model extended back
  // through the preprocessor.
  void report(uint8_t answer, Runner &r, const std::string &counters) {
    std::vector<bool> model, input_model;
    bool with_model = answer == kSat && r.model(&model);
    if (with_model && model_vars_) model.resize(*model_vars_);  // without symmetry breaking's variables
    if (with_model && pre_) {
      with_model = pre_->reconstruct(model, &input_model).kind == prep::ReconstructError::Kind::None;
      model.swap(input_model);
    }
    out_.answer(answer_byte(answer), counters, with_model ? &model : nullptr);
  }

  // Copies the proof that `r` streamed to `path` (empty: to the proof
  // itself) into the proof, after the preprocessor's steps, and reports it.
  void keep_proof(Runner &r, const std::string &path) {
    ProofFile *p = r.proof();
    p->close();
    int err = p->error() ? p->error() : first_error_;
    if (err == 0 && !path.empty()) err = append_file(path, target_);
    proof_message(err, first_ + p->steps());
  }

  void proof_message(int err, uint64_t steps) {
    ::close(target_);
    target_ = -1;
    if (err != 0) {
      const auto e = static_cast<uint32_t>(err);
      out_.send(wire::kProofFailed, std::string_view(reinterpret_cast<const char *>(&e), sizeof(e)));
    } else {
      out_.send(wire::kProofDone, std::string_view(reinterpret_cast<const char *>(&steps), sizeof(steps)));
    }
  }

  const SearchArgs &a_;
  Messages &out_;
  const ReadFormula &input_reader_;
  std::shared_ptr<std::atomic<bool>> stop_;
  MemberProofs proofs_;
  const Probe probe_{a_.probe_clauses, a_.probe_conflicts};
  NamedConfigs named_ = a_.named;
  uint32_t nvars_ = a_.nvars;
  std::optional<uint32_t> model_vars_;  // the formula's variables, when symmetry breaking added more
  Formula input_;
  std::unique_ptr<ProofFile> prep_proof_;
  std::unique_ptr<prep::Preprocessor> pre_;
  std::unique_ptr<Runner> alone_;  // one configuration's, made before the clauses come
  std::vector<Lit> scratch_;
  int target_ = -1;
  Clock::time_point t0_;
  uint64_t spent_ = 0;  // the probe's conflicts
  uint64_t first_ = 0;  // the preprocessor's proof steps
  int first_error_ = 0;
};

}  // namespace

int search_auto(const SearchArgs &a, Messages &out, const ReadFormula &read, std::shared_ptr<std::atomic<bool>> stop) {
  return AutoSearch(a, out, read, std::move(stop)).run();
}

}  // namespace qn::cli
