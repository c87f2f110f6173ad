// quillon-search: the search process of `quillon-native solve --config
// NAME`, without an interpreter.  The command starts it when it has read
// the formula's header, streams it the clauses (search_input.hpp) and turns
// its messages (search_messages.hpp) into the lines it prints; the program
// does what NativeWork does in a forked command: one runner (runner.hpp),
// searched in the same slices, its proof streamed to the file it is given.
//
//   quillon-search NVARS [--proof=text|binary] [--preprocess=ROUNDS]
//                  [--slice=K] [--max-conflicts=N] [--deadline=T] [OPTION=VALUE ...]
//
// T is a CLOCK_MONOTONIC time in seconds; OPTIONs are the Solver's.  SIGINT
// and SIGTERM stop the search at its next conflict: the program flushes its
// proof, reports and ends.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli/runner.hpp"
#include "cli/search_args.hpp"
#include "cli/search_input.hpp"
#include "cli/search_messages.hpp"
#include "cli/stop.hpp"

namespace qn::cli {
namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

uint64_t conflicts(const Runner &r) { return r.solver() != nullptr ? r.solver()->stats().conflicts : 0; }

// Slices of `slice` conflicts up to the limit and the deadline, a progress
// message after each one left without an answer (supervise.in_slices).
uint8_t in_slices(Runner &r, const SearchArgs &a, Messages &out, Clock::time_point t0) {
  if (a.slice == 0) return r.solve(a.max_conflicts, a.deadline);
  std::optional<uint64_t> left = a.max_conflicts;
  for (;;) {
    const uint64_t before = conflicts(r);
    const uint8_t answer = r.solve(left ? std::min(a.slice, *left) : a.slice, a.deadline);
    if (answer != kUnknown || stop_flag()->load()) return answer;
    out.send(wire::kProgress, solver_counters(r.solver(), since(t0)));
    if (left) {
      const uint64_t used = conflicts(r) - before;
      if (used >= *left) return kUnknown;
      *left -= used;
    }
    if (a.deadline && Clock::now() >= *a.deadline) return kUnknown;
  }
}

uint8_t answer_byte(uint8_t answer) {
  return answer == kSat ? wire::kAnswerSat : answer == kUnsat ? wire::kAnswerUnsat : wire::kAnswerUnknown;
}

int search(const SearchArgs &a, Messages &out) {
  std::unique_ptr<ProofFile> file;
  if (a.proof) file = std::make_unique<ProofFile>(-1, a.binary_proof);
  Runner r(a.nvars, a.config, std::move(file), a.preprocess, stop_flag());
  out.send(wire::kReady, "");
  ClauseInput in(0);
  if (!in.read([&](const Lit *lits, size_t n) { r.add_clause(lits, n); })) return 0;  // the command gave up
  ::close(0);
  if (ProofFile *p = r.proof()) {
    if (in.proof_fd() < 0) {
      out.send(wire::kError, "no proof file was given");
      return 1;
    }
    p->attach(in.proof_fd());
    p->flush();
  }
  const Clock::time_point t0 = Clock::now();
  bool ok = true;
  if (a.preprocess) {
    ok = r.preprocess(a.rounds);
    out.send(wire::kPrep, prep_counters(*r.preprocessor(), since(t0)));
  }
  const uint8_t answer = ok ? in_slices(r, a, out, t0) : kUnsat;
  const std::string counters = solver_counters(r.solver(), since(t0));
  std::vector<bool> model;
  const bool with_model = answer == kSat && r.model(&model);
  out.answer(answer_byte(answer), counters, with_model ? &model : nullptr);
  if (ProofFile *p = r.proof()) {
    p->close();
    if (p->error() != 0) {
      const auto e = static_cast<uint32_t>(p->error());
      out.send(wire::kProofFailed, std::string_view(reinterpret_cast<const char *>(&e), sizeof(e)));
    } else {
      const uint64_t steps = p->steps();
      out.send(wire::kProofDone, std::string_view(reinterpret_cast<const char *>(&steps), sizeof(steps)));
    }
  }
  return 0;
}

}  // namespace
}  // namespace qn::cli

int main(int argc, char **argv) {
  using namespace qn::cli;
  SearchArgs a;
  if (!parse_search_args(argc, argv, &a)) {
    std::fprintf(stderr, "usage: quillon-search NVARS [--proof=text|binary] [--preprocess=ROUNDS] [--slice=K] "
                         "[--max-conflicts=N] [--deadline=T] [OPTION=VALUE ...]\n");
    return 2;
  }
  catch_stop_signals();
  Messages out(1);
  try {
    return search(a, out);
  } catch (const std::bad_alloc &) {
    out.send(wire::kError, "out of memory");
  } catch (const std::exception &e) {
    out.send(wire::kError, e.what());
  } catch (...) {
    out.send(wire::kError, "unknown internal failure");
  }
  return 1;
}
