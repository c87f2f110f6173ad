#include "cli/stop.hpp"

#include <Python.h>

#include <csignal>

#include "cli/module.hpp"

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

PyObject *stop_on_signals(PyObject *, PyObject *) {
  g_stop = stop_flag().get();
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM}) {
    if (sigaction(sig, &sa, nullptr) < 0) return PyErr_SetFromErrno(PyExc_OSError);
  }
  Py_RETURN_NONE;
}

PyObject *stop_requested(PyObject *, PyObject *) { return PyBool_FromLong(stop_flag()->load()); }

// A race of runners on threads is decided: the others stop at their next conflict.
PyObject *request_stop(PyObject *, PyObject *) {
  stop_flag()->store(true);
  Py_RETURN_NONE;
}

PyMethodDef stop_functions[] = {
    {"stop_on_signals", stop_on_signals, METH_NOARGS,
     "stop_on_signals()\n--\n\nFrom now on SIGINT and SIGTERM ask the runners' searches to stop."},
    {"stop_requested", stop_requested, METH_NOARGS, "stop_requested()\n--\n\nWhether a stop was requested."},
    {"request_stop", request_stop, METH_NOARGS, "request_stop()\n--\n\nAsk the runners' searches to stop."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::shared_ptr<std::atomic<bool>> &stop_flag() {
  static auto flag = std::make_shared<std::atomic<bool>>(false);
  return flag;
}

int stop_signal_received() { return g_signal; }

void watch_portfolio_flag(std::atomic<bool> *flag) { g_portfolio_stop.store(flag); }

int add_stop_functions(PyObject *module) { return PyModule_AddFunctions(module, stop_functions); }

}  // namespace qn::cli
