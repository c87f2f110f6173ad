// The stop request of the command line's search process: once
// stop_on_signals() ran (in Python), SIGINT and SIGTERM raise the runners'
// shared stop flag, and the flag of a portfolio while one runs; the solvers
// read them once per conflict.
#pragma once

#include <atomic>
#include <memory>

namespace qn::cli {

std::shared_ptr<std::atomic<bool>> &stop_flag();
// The first stop signal received, 0 if none.
int stop_signal_received();
// A portfolio's own flag, raised too by a stop signal until cleared (nullptr).
void watch_portfolio_flag(std::atomic<bool> *flag);

}  // namespace qn::cli
