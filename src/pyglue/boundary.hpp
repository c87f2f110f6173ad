// The call boundary: no C++ exception crosses into the interpreter, and the
// interpreter lock is given up one way only.
#pragma once

#include "pyglue/ref.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>

#include "core/panic.hpp"

namespace qn::glue {

// Raises a module's exception for an internal failure: its text and where
// it arose.
using RaiseFailure = void (*)(const char *what, const char *file, int line);

// Runs `body` (a new reference, or nullptr with an exception set) and turns
// whatever it throws into a Python exception: MemoryError for bad_alloc,
// the module's own (Raise) for anything else.
template <RaiseFailure Raise, class F>
PyObject *boundary(F &&body) noexcept {
  try {
    return body();
  } catch (const Panic &p) {
    Raise(p.what(), p.file(), p.line());
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &e) {
    Raise(e.what(), __FILE__, __LINE__);
  } catch (...) {
    Raise("unknown internal failure", __FILE__, __LINE__);
  }
  return nullptr;
}

// Releases the interpreter lock for its scope; taken back on every way out,
// exceptions included, before any Python object is touched again.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked &) = delete;
  Unlocked &operator=(const Unlocked &) = delete;

 private:
  PyThreadState *state_;
};

// One turn of waiting for work on another thread: up to 50 ms, unlocked,
// for `done()` (read under m; the worker notifies cv).  1 when done; 0 when
// not yet; -1 when a signal handler raised meanwhile (only with
// check_signals), its exception set.
template <class Done>
int wait_turn(std::mutex &m, std::condition_variable &cv, Done &&done, bool check_signals = true) {
  {
    Unlocked unlocked;
    std::unique_lock<std::mutex> lock(m);
    if (cv.wait_for(lock, std::chrono::milliseconds(50), done)) return 1;
  }
  return check_signals && PyErr_CheckSignals() < 0 ? -1 : 0;
}

}  // namespace qn::glue
