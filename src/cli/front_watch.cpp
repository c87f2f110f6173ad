#include "cli/front_watch.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstring>

#include "cli/py_format.hpp"
#include "cli/solve_defaults.hpp"
#include "cli/stop.hpp"

namespace qn::cli {
namespace {

constexpr double kProgressEvery = 2.0;  // seconds between progress lines
constexpr double kStopGrace = 1.0;      // a stopped search's time to report (supervise.py's STOP_GRACE)

double until(Clock::time_point t) { return std::chrono::duration<double>(t - Clock::now()).count(); }

}  // namespace

Outcome Watch::run() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);  // taken in the wait alone
  next_progress_ = after(Clock::now(), kProgressEvery);
  while (step()) {
  }
  return got_;
}

bool Watch::step() {
  double wait = until(next_progress_);
  if (deadline_ && !got_.answered) wait = std::min(wait, until(after(*deadline_, kTimeGrace)));
  if (stop_by_) wait = std::min(wait, until(*stop_by_));
  const auto msgs = search_.poll(wait, got_.caught == 0);
  if (!msgs) return false;
  for (const Message &m : *msgs) take(m);
  const int sig = stop_signal_received();
  if (sig && !got_.caught) {
    got_.caught = sig;
    return stop();
  }
  const Clock::time_point now = Clock::now();
  if (!(got_.answered || got_.timed_out) && deadline_ && now >= after(*deadline_, kTimeGrace)) {
    got_.timed_out = true;
    return stop();
  }
  if (stop_by_ && now >= *stop_by_) return false;  // the search is left to the process's end
  if (now >= next_progress_) {
    if (!verbose_ || !seen_progress_) progress();
    next_progress_ = after(now, kProgressEvery);
  }
  return true;
}

bool Watch::stop() {
  raise_stop_flags();
  stop_by_ = after(Clock::now(), kStopGrace);
  return true;
}

void Watch::take(const Message &m) {
  switch (m.kind) {
    case wire::kProgress:
      got_.stats = m.counters;
      seen_progress_ = true;
      if (verbose_) {
        progress();
        next_progress_ = after(Clock::now(), kProgressEvery);
      }
      break;
    case wire::kComment:
      out_.comment(m.text);
      break;
    case wire::kPrep: {
      std::string line = "preprocessing: ";
      for (const ShownCounter &c : kShownPrepCounters) {
        const std::string *v = m.counters.find(c.name);
        line += (&c == kShownPrepCounters ? "" : ", ") + (v ? *v : std::string("0")) + " " + std::string(c.label);
      }
      out_.comment(line + format(" in %.3f s", m.counters.seconds()));
      break;
    }
    case wire::kAnswer:
      got_.answer = m.answer;
      got_.stats = m.counters;
      got_.model = m.has_model ? m.model : std::vector<uint8_t>();
      got_.winner.clear();
      got_.answered = true;
      break;
    case wire::kWinner:
      got_.winner = m.text;
      break;
    case wire::kProofDone:
      got_.proof_steps = m.number;
      break;
    case wire::kProofFailed:
      if (got_.proof_error.empty()) got_.proof_error = std::strerror(static_cast<int>(m.number));
      break;
    case wire::kReady:
      break;
    default:
      got_.error = m.text;
  }
}

void Watch::progress() {
  const Counters &st = got_.stats;
  const double elapsed = seconds_since(started_);
  if (st.items.empty()) {
    out_.comment(format("%8.1f s  searching", elapsed));
    return;
  }
  const uint64_t c = st.count("conflicts");
  const double rate = static_cast<double>(c) / std::max(st.seconds(), 1e-9);
  out_.comment(format("%8.1f s  ", elapsed) + std::to_string(c) + " conflicts (" + format("%.0f", rate) + "/s)  " +
               std::to_string(st.count("restarts")) + " restarts  " + std::to_string(st.count("learned")) +
               " learned");
}

void stat_lines(Output &out, const Outcome &got, double load_seconds, Clock::time_point started,
              std::optional<uint64_t> max_conflicts) {
  const Counters &st = got.stats;
  for (const ShownCounter &c : kShownSolverCounters) {
    if (const std::string *v = st.find(c.name)) out.comment(format("%-17s ", std::string(c.label).c_str()) + *v);
  }
  if (!got.winner.empty()) out.comment("winner            " + got.winner);
  if (const std::string *v = st.find("all_conflicts")) out.comment("all conflicts     " + *v);
  out.comment(format("%-17s %.3f", "read seconds", load_seconds));
  if (st.find("seconds")) out.comment(format("%-17s %.3f", "search seconds", st.seconds()));
  out.comment(format("%-17s %.3f", "total seconds", seconds_since(started)));
  if (max_conflicts) {
    const uint64_t used = st.find("all_conflicts") ? st.count("all_conflicts") : st.count("conflicts");
    if (used > *max_conflicts) {
      out.comment("the solver's last call passed --max-conflicts by " + std::to_string(used - *max_conflicts));
    }
  }
}

}  // namespace qn::cli
