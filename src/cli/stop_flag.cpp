// The stop flags and the signal handler that raises them (stop.hpp).
#include <cerrno>
#include <csignal>

#include "cli/stop.hpp"

namespace qn::cli {
namespace {

std::atomic<bool> *g_stop = nullptr;
std::atomic<std::atomic<bool> *> g_portfolio_stop{nullptr};  // a running portfolio's own flag
volatile sig_atomic_t g_signal = 0;

void on_stop_signal(int signum) {
  if (g_signal == 0) g_signal = signum;
  if (g_stop != nullptr) g_stop->store(true, std::memory_order_relaxed);
  if (std::atomic<bool> *p = g_portfolio_stop.load()) p->store(true, std::memory_order_relaxed);
}

}  // namespace

std::shared_ptr<std::atomic<bool>> &stop_flag() {
  static auto flag = std::make_shared<std::atomic<bool>>(false);
  return flag;
}

int catch_stop_signals() {
  g_stop = stop_flag().get();
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM}) {
    if (sigaction(sig, &sa, nullptr) < 0) return errno;
  }
  return 0;
}

void raise_stop_flags() {
  stop_flag()->store(true, std::memory_order_relaxed);
  if (std::atomic<bool> *p = g_portfolio_stop.load()) p->store(true, std::memory_order_relaxed);
}

int stop_signal_received() { return g_signal; }

void watch_portfolio_flag(std::atomic<bool> *flag) { g_portfolio_stop.store(flag); }

}  // namespace qn::cli
