// The native front end's side of a running search (watch.py): its messages
// turned into the lines shown while it runs, a progress line every two
// seconds (after every slice with -v), a stop signal and the time limit
// turned into a stop; then what it reported, and the counters shown at its
// end.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/deadline.hpp"
#include "cli/front_output.hpp"
#include "cli/front_search.hpp"
#include "cli/search_wire.hpp"

namespace qn::cli {

inline constexpr double kTimeGrace = 0.5;  // seconds past the deadline before the search is stopped from here

inline double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}
inline Clock::time_point after(Clock::time_point t, double seconds) {
  return t + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// What a search reported: its answer (a wire::AnswerByte) and the counters
// of its answer (or of its last progress), the model, the member that
// answered, the proof's steps or error, the search's own error, the stop
// signal caught and whether the time limit ran out.
struct Outcome {
  bool answered = false, timed_out = false;
  std::optional<uint64_t> proof_steps;
  std::string proof_error;
  uint8_t answer = wire::kAnswerUnknown;
  Counters stats;
  std::vector<uint8_t> model;
  std::string winner, error;
  int caught = 0;
};

class Watch {
 public:
  Watch(InProcessSearch &search, Output &out, std::optional<Clock::time_point> deadline, Clock::time_point started,
        bool verbose)
      : search_(search), out_(out), deadline_(deadline), started_(started), verbose_(verbose) {}
  Outcome run();  // follows the search to its end

 private:
  bool step();  // takes what came within the next wait; false once the search is over
  bool stop();
  void take(const Message &m);
  void progress();

  InProcessSearch &search_;
  Output &out_;
  std::optional<Clock::time_point> deadline_, stop_by_;
  Clock::time_point started_, next_progress_;
  bool verbose_;
  bool seen_progress_ = false;
  Outcome got_;
};

// The counters of a search's answer, the member that answered and the times.
void stat_lines(Output &out, const Outcome &got, double load_seconds, Clock::time_point started,
                std::optional<uint64_t> max_conflicts);

}  // namespace qn::cli
