// The call boundary: no C++ exception crosses into the interpreter, and the
// interpreter lock is given up one way only.
#pragma once

#include "pyglue/ref.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

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

// Runs body() on a helper thread while this one waits, unlocked, in turns
// of up to 50 ms; after each turn body has not ended, on_turn(signalled)
// (signalled: a signal handler raised meanwhile, its exception set; signals
// are not checked again after one) says whether to wait on.  True once body
// has ended with no handler raised; what body threw is thrown again here.
// False with the handler's exception set: body has ended, or on_turn gave
// up waiting, and body ends on its own with what it owns.
template <class Body, class OnTurn>
bool beside(Body body, OnTurn on_turn) {
  struct Shared {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
  };
  auto s = std::make_shared<Shared>();
  std::thread([s, body = std::move(body)]() mutable {
    std::exception_ptr error;
    try {
      body();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(s->m);
    s->error = error;
    s->done = true;
    s->cv.notify_one();
  }).detach();
  for (bool signalled = false;;) {
    bool done;
    {
      Unlocked unlocked;
      std::unique_lock<std::mutex> lock(s->m);
      done = s->cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return s->done; });
    }
    if (done && s->error && signalled) PyErr_Clear();
    if (done && s->error) std::rethrow_exception(s->error);
    if (done) return !signalled;
    const bool raised = !signalled && PyErr_CheckSignals() < 0;
    signalled = signalled || raised;
    if (!on_turn(raised)) return false;
  }
}

}  // namespace qn::glue
