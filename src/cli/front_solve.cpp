#include "cli/front_solve.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli/deadline.hpp"
#include "cli/front_output.hpp"
#include "cli/front_proof.hpp"
#include "cli/front_reader.hpp"
#include "cli/front_search.hpp"
#include "cli/front_watch.hpp"
#include "cli/plan.hpp"
#include "cli/py_format.hpp"
#include "cli/search_wire.hpp"
#include "cli/solve_defaults.hpp"
#include "cli/stop.hpp"
#include "core/memory.hpp"
#include "solver/solver.hpp"

namespace qn::cli {
namespace {

struct TimeLimit {};
struct Interrupted {
  int signum;
};
struct ProgramFailed {
  std::string what;
};
struct NoProofFolder {
  std::string what;
};

// Why no solver of `nvars` variables can be made here, or "".
std::string memory_refusal(uint64_t nvars) {
  const uint64_t need = Solver::table_bytes(nvars), have = physical_memory();
  if (need <= have) return "";
  constexpr double kGiB = 1 << 30;
  const std::string tables = need == UINT64_MAX ? "more than any machine holds" : format("%.1f GiB", need / kGiB);
  return std::to_string(nvars) + " variables do not fit in memory (a solver's tables need " + tables +
         ", this machine has " + format("%.1f GiB", have / kGiB) + ")";
}

std::string where(const std::string &name, uint64_t line) {
  return line ? name + ":" + std::to_string(line) : name;
}

class Solve {
 public:
  Solve(const SolveArgs &a, int fd) : a_(a), fd_(fd), out_(a.quiet) {
    started_ = Clock::now();
    if (a.seconds && *a.seconds < kNoLimitSeconds) deadline_ = after(started_, *a.seconds);
    slice_ = a.slice.value_or(kDefaultSlice);
    rounds_ = a.rounds.value_or(kDefaultRounds);
  }

  int run() {
    try {
      read();
    } catch (const TimeLimit &) {
      return stopped_reading("time limit reached", kExitDone);
    } catch (const Interrupted &e) {
      return stopped_reading("interrupted", 128 + e.signum);
    } catch (const InputError &e) {
      return fail(kExitInput, e.text);
    } catch (const ProgramFailed &e) {
      return fail(kExitFailed, a_.file + ": " + e.what);
    } catch (const NoProofFolder &e) {
      return fail(kExitOutput, *a_.proof + ": " + e.what);
    } catch (const std::bad_alloc &) {
      return fail(kExitFailed, a_.file + ": out of memory while loading the formula");
    }
    if (a_.proof) {
      // Only now, with the whole input read: a run refused before its
      // search leaves every file as it was.
      if (members_ && !members_->note().empty()) out_.comment(members_->note());
      proof_ = ::open(a_.proof->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (proof_ < 0) return fail(kExitOutput, *a_.proof + ": " + std::strerror(errno));
    }
    search_.finish(proof_);
    headline();
    return finish(Watch(search_, out_, deadline_, started_, a_.verbose).run());
  }

 private:
  int stopped_reading(const char *why, int code) {
    out_.comment(std::string(why) + " while reading the formula");
    out_.line("s UNKNOWN");
    return out_.done(code);
  }

  void read() {
    const Clock::time_point t0 = Clock::now();
    CnfFileReader reader(
        a_.file, fd_, a_.relaxed, [this](uint64_t nvars, uint64_t, uint64_t line) { start(nvars, line); },
        [this](const Lit *lits, size_t n) { search_.add_clause(lits, n); },
        [this] {
          if (const int sig = stop_signal_received()) throw Interrupted{sig};
          if (deadline_ && Clock::now() >= after(*deadline_, kTimeGrace)) throw TimeLimit{};
        });
    reader.read();
    load_seconds_ = seconds_since(t0);
    out_.comment("quillon-native " QN_VERSION);
    out_.comment(a_.file + ": " + std::to_string(reader.nvars()) + " variables, " + std::to_string(reader.nclauses()) +
                 " clauses, read in " + format("%.3f", load_seconds_) + " s");
  }

  // Starts the search at the formula's header.
  void start(uint64_t nvars, uint64_t line) {
    const std::string refused = memory_refusal(nvars);
    if (!refused.empty()) throw InputError{where(a_.file, line) + ": " + refused};
    if (planned() && a_.proof) {  // a proof file per member
      try {
        members_ = std::make_unique<MemberFolder>(*a_.proof);
      } catch (const MemberFolder::Failed &e) {
        throw NoProofFolder{e.what};
      }
    }
    SearchArgs sa;
    if (!search_args(nvars, &sa)) throw ProgramFailed{"the search program cannot start: bad arguments"};
    if (!search_.start(sa)) throw ProgramFailed{std::string("the search program cannot start: ") + std::strerror(errno)};
    for (;;) {  // until the search has made its solvers
      const auto msgs = search_.poll(1.0, false);
      if (!msgs) throw ProgramFailed{"the search program cannot start: the search program ended at its start"};
      if (msgs->empty()) continue;
      const Message &m = msgs->front();
      if (m.kind == wire::kReady) return;
      if (m.kind == wire::kError && m.text == "out of memory") {
        throw InputError{where(a_.file, line) + ": " + std::to_string(nvars) + " variables do not fit in memory"};
      }
      throw ProgramFailed{"the search program cannot start: the search program failed at its start: ('error', '" +
                          m.text + "')"};
    }
  }

  // The search program's arguments for these options (native.search_argv).
  bool search_args(uint64_t nvars, SearchArgs *out) const {
    std::vector<std::string> argv = {"quillon-search", std::to_string(nvars), "--slice=" + std::to_string(slice_)};
    if (planned()) {
      argv.push_back("--auto=1");
      argv.push_back("--rounds=" + std::to_string(rounds_));
      argv.push_back("--probe=" + std::to_string(kProbeClauses) + "," + std::to_string(kProbeConflicts));
      if (a_.threads.value_or(1) > 1) argv.push_back("--threads=" + std::to_string(*a_.threads));
      if (a_.portfolio) {
        std::string names;
        for (uint32_t i = 0; i < *a_.portfolio; ++i) names += (i ? "," : "") + std::string(kPortfolioOrder[i]);
        argv.push_back("--portfolio=" + names);
      }
      for (std::string &spec : named_specs()) argv.push_back(std::move(spec));
      if (members_) argv.push_back("--proof-dir=" + members_->folder());
    }
    if (a_.proof) argv.push_back(std::string("--proof=") + (a_.binary_proof ? "binary" : "text"));
    if (a_.preprocess) argv.push_back("--preprocess=" + std::to_string(rounds_));
    if (a_.max_conflicts) argv.push_back("--max-conflicts=" + std::to_string(*a_.max_conflicts));
    for (const OptionText &o : a_.solver_options()) argv.push_back(o.name + "=" + o.value);
    std::vector<char *> ptrs;
    for (std::string &s : argv) ptrs.push_back(s.data());
    if (!parse_search_args(static_cast<int>(ptrs.size()), ptrs.data(), out)) return false;
    out->deadline = deadline_;
    return true;
  }

  bool planned() const { return a_.auto_plan() || a_.portfolio; }

  void headline() {
    if (a_.portfolio) {
      std::string names;
      for (uint32_t i = 0; i < *a_.portfolio; ++i) names += (i ? ", " : "") + std::string(kPortfolioOrder[i]);
      out_.comment("portfolio of " + std::to_string(*a_.portfolio) + ": " + names);
    } else if (!a_.auto_plan()) {
      std::string shown;
      for (const OptionText &o : a_.solver_options()) shown += (shown.empty() ? "" : " ") + o.name + "=" + o.shown;
      out_.comment("configuration " + a_.config.value_or("default") + (shown.empty() ? "" : ": " + shown));
      out_.comment(slice_ ? "slices of " + std::to_string(slice_) + " conflicts" : "one call, no slices");
    }
  }

  // The lines after the search, the answer and the exit code (solve.py's finish).
  int finish(const Outcome &got) {
    if (!got.error.empty()) return fail(kExitFailed, a_.file + ": " + got.error);
    if (!got.answered && !(got.caught || got.timed_out)) {
      return fail(kExitFailed, a_.file + ": the search process ended unexpectedly (status " +
                                   std::to_string(search_.status()) + ")");
    }
    const std::string proof_error = proof_ >= 0 ? close_proof(got) : got.proof_error;
    if (members_) members_->remove();
    if (got.caught) {
      out_.comment(std::string("interrupted by ") + (got.caught == SIGINT ? "SIGINT" : "SIGTERM"));
    } else if (got.timed_out ||
               (got.answered && got.answer == wire::kAnswerUnknown && deadline_ && Clock::now() >= *deadline_)) {
      out_.comment("time limit reached");
    }
    stat_lines(out_, got, load_seconds_, started_, a_.max_conflicts);
    int code = got.caught ? 128 + got.caught : kExitDone;
    if (got.answer == wire::kAnswerSat) {
      out_.line("s SATISFIABLE");
      out_.model(got.model.data(), got.model.size());
      if (!got.caught) code = kExitSat;
    } else if (got.answer == wire::kAnswerUnsat) {
      out_.line("s UNSATISFIABLE");
      if (!got.caught) code = kExitUnsat;
    } else {
      out_.line("s UNKNOWN");
    }
    if (!proof_error.empty()) {  // the answer above stands; the proof does not
      code = fail(kExitOutput, *a_.proof + ": " + proof_error + "; the proof is incomplete");
    }
    return out_.done(code);
  }

  // Closes the proof file of a search that reported `got` (one stopped
  // while writing keeps its whole steps); its error or "" (verify.py's close_proof).
  std::string close_proof(const Outcome &got) {
    if (got.proof_error.empty() && !got.proof_steps) {
      const int64_t kept = keep_whole_steps(proof_, a_.binary_proof);
      if (kept < 0) return std::strerror(errno);
      out_.comment("proof " + *a_.proof + ": incomplete, " + std::to_string(kept) + " bytes of whole steps kept");
    } else if (got.proof_error.empty()) {
      out_.comment("proof " + *a_.proof + ": " + std::to_string(*got.proof_steps) + " steps");
    }
    const int closed = ::close(proof_);
    proof_ = -1;
    if (!got.proof_error.empty()) return got.proof_error;
    return closed < 0 ? std::strerror(errno) : "";
  }

  const SolveArgs &a_;
  int fd_;
  Output out_;
  InProcessSearch search_;
  Clock::time_point started_;
  std::optional<Clock::time_point> deadline_;
  uint64_t slice_ = 0;
  uint32_t rounds_ = 0;
  double load_seconds_ = 0;
  std::unique_ptr<MemberFolder> members_;  // the members' proofs of a plan
  int proof_ = -1;
};

// The first bytes of a gzip, xz or bzip2 stream, which the Python front end decompresses.
bool compressed(int fd) {
  unsigned char head[6] = {};
  const ssize_t n = ::pread(fd, head, sizeof(head), 0);
  if (n >= 2 && head[0] == 0x1f && head[1] == 0x8b) return true;
  if (n >= 6 && std::memcmp(head, "\xfd" "7zXZ\0", 6) == 0) return true;
  return n >= 3 && std::memcmp(head, "BZh", 3) == 0;
}

}  // namespace

std::optional<int> solve_natively(const SolveArgs &a) {
  struct stat st {};
  if (::stat(a.file.c_str(), &st) < 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const int fd = ::open(a.file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  if (compressed(fd)) {
    ::close(fd);
    return std::nullopt;
  }
  if ((a.proof && compressed_file(*a.proof)) || catch_stop_signals() != 0) {
    ::close(fd);
    return std::nullopt;
  }
  if (a.proof) {
    if (const auto refused = refuse_proof_target(*a.proof, a.file, a.force)) return fail(refused->first, refused->second);
  }
  ::signal(SIGPIPE, SIG_IGN);
  return Solve(a, fd).run();
}

}  // namespace qn::cli
