// The stop request of the command line's search processes: once
// catch_stop_signals() ran (from Python, or in the search program), SIGINT
// and SIGTERM raise the runners' shared stop flag, and the flag of a
// portfolio while one runs; the solvers read them once per conflict.
#pragma once

#include <atomic>
#include <memory>

namespace qn::cli {

std::shared_ptr<std::atomic<bool>> &stop_flag();
// From now on SIGINT and SIGTERM raise the flags; 0, or the errno of a failure.
int catch_stop_signals();
// Raises the flags as a stop signal would, without being one.
void raise_stop_flags();
// The first stop signal received, 0 if none.
int stop_signal_received();
// A portfolio's own flag, raised too by a stop signal until cleared (nullptr).
void watch_portfolio_flag(std::atomic<bool> *flag);

}  // namespace qn::cli
