// The few CPython helpers shared by the command line module's glue files.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "cli/proof_file.hpp"
#include "cli/tokens.hpp"
#include "core/lit.hpp"
#include "preprocess/preprocessor.hpp"
#include "solver/config.hpp"

namespace qn::cli {

// An owned reference, released at scope end unless taken.
struct Owned {
  PyObject *p = nullptr;
  explicit Owned(PyObject *o) : p(o) {}
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  ~Owned() { Py_XDECREF(p); }
  PyObject *release() {
    PyObject *r = p;
    p = nullptr;
    return r;
  }
};

// Variable counts below this are sized on the calling thread (well under a
// second's work).
inline constexpr uint64_t kSizedInline = uint64_t{1} << 20;

// The one boundary between the module's entries and the C++ below them:
// runs `body` (a new reference, or nullptr with a Python error set) and turns
// whatever it throws into a Python exception with its message: MemoryError
// for std::bad_alloc, RuntimeError for anything else (a broken invariant of
// a core, a thread that could not start).  No C++ exception crosses into the
// interpreter.
template <class F>
PyObject *boundary(F &&body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal failure");
  }
  return nullptr;
}

// The head of every object of the module that holds native state: `busy`
// while one of its calls runs, so that a second call (from another thread,
// while the first one has the interpreter unlocked) is refused rather than
// racing with it.
struct NativeObject {
  PyObject_HEAD
  std::atomic<bool> busy;
};

// Raises RuntimeError("<type> is in use by another thread").
void refuse_busy(PyObject *self);

// Runs `body` on `self` inside the boundary unless another call on it is
// running.
template <class F>
PyObject *exclusive(PyObject *self, F &&body) {
  std::atomic<bool> &busy = reinterpret_cast<NativeObject *>(self)->busy;
  if (busy.exchange(true)) {
    refuse_busy(self);
    return nullptr;
  }
  PyObject *r = boundary(body);
  busy.store(false);
  return r;
}

// The method tables' entries: `entry` for a module function, `method` for a
// method of a NativeObject type, `getter` and `setter` for its attributes,
// `length` for its len(); `method_kw` for a method that takes keywords.
using Call = PyObject *(*)(PyObject *, PyObject *);
template <Call F>
PyObject *entry(PyObject *self, PyObject *args) {
  return boundary([&] { return F(self, args); });
}
template <Call F>
PyObject *method(PyObject *self, PyObject *args) {
  return exclusive(self, [&] { return F(self, args); });
}
using CallKw = PyObject *(*)(PyObject *, PyObject *, PyObject *);
template <CallKw F>
PyObject *method_kw(PyObject *self, PyObject *args, PyObject *kwargs) {
  return exclusive(self, [&] { return F(self, args, kwargs); });
}
template <PyObject *(*F)(PyObject *, void *)>
PyObject *getter(PyObject *self, void *closure) {
  return exclusive(self, [&] { return F(self, closure); });
}
template <int (*F)(PyObject *, PyObject *, void *)>
int setter(PyObject *self, PyObject *value, void *closure) {
  PyObject *r = exclusive(self, [&]() -> PyObject * { return F(self, value, closure) < 0 ? nullptr : Py_None; });
  return r == nullptr ? -1 : 0;
}
template <Py_ssize_t (*F)(PyObject *)>
Py_ssize_t length(PyObject *self) {
  Py_ssize_t n = -1;
  exclusive(self, [&]() -> PyObject * {
    n = F(self);
    return Py_None;
  });
  return n;
}
// tp_new: the constructor inside the boundary.
template <PyObject *(*F)(PyTypeObject *, PyObject *, PyObject *)>
PyObject *make(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return boundary([&] { return F(type, args, kwargs); });
}

// Makes a native object whose tables are sized up front for `nvars`
// variables: make() returns it (new), run on a helper thread for a large
// count while this one waits with the interpreter unlocked, looking for
// signals every 50 ms, so that a stop or the time limit (a signal handler
// that raises) ends the wait at once with its exception; the helper then
// deletes what it made when it is done.  nullptr with a Python error set
// then; what make() throws is thrown again here.
template <class T, class Make>
T *make_sized(uint64_t nvars, Make make) {
  if (nvars < kSizedInline) return make();
  struct Handoff {
    std::mutex m;
    std::condition_variable cv;
    bool done = false, abandoned = false;
    T *made = nullptr;
    std::exception_ptr error;
  };
  auto h = std::make_shared<Handoff>();
  std::thread([h, make = std::move(make)]() mutable {
    T *made = nullptr;
    std::exception_ptr error;
    try {
      made = make();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(h->m);
    if (h->abandoned) {
      delete made;
      return;
    }
    h->made = made;
    h->error = error;
    h->done = true;
    h->cv.notify_one();
  }).detach();
  for (;;) {
    bool done = false;
    Py_BEGIN_ALLOW_THREADS;
    std::unique_lock<std::mutex> lock(h->m);
    done = h->cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return h->done; });
    Py_END_ALLOW_THREADS;
    if (done) {
      if (h->error) std::rethrow_exception(h->error);
      return h->made;
    }
    if (PyErr_CheckSignals() < 0) {
      std::lock_guard<std::mutex> lock(h->m);
      if (h->done) delete h->made;
      h->abandoned = true;
      return nullptr;
    }
  }
}

// Appends the codes of a tail list (ints) to `out`; tail_list makes such a
// list of codes[from, end).
bool tail_codes(PyObject *tail, std::vector<int64_t> &out);
PyObject *tail_list(const std::vector<int64_t> &codes, size_t from);

// Reads `block` after `tail`'s codes, hands each clause to add(lits, n) and
// returns (clauses, maxvar, tail), None when the block is refused.
template <class Add>
PyObject *feed_block(PyObject *args, std::vector<int64_t> &codes, std::vector<Lit> &lits, Add add) {
  PyObject *block, *tail;
  long long limit;
  if (!PyArg_ParseTuple(args, "SLO!:feed", &block, &limit, &PyList_Type, &tail)) return nullptr;
  char *data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(block, &data, &size) < 0) return nullptr;
  codes.clear();
  if (!tail_codes(tail, codes)) return nullptr;
  TextScan ts{limit, false};
  const auto *p = reinterpret_cast<const unsigned char *>(data);
  if (!scan_text(ts, p, p + size, codes)) Py_RETURN_NONE;
  long long clauses = 0;
  size_t from = 0;
  for (size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] != kEnd) continue;
    lits.assign(codes.begin() + static_cast<std::ptrdiff_t>(from), codes.begin() + static_cast<std::ptrdiff_t>(i));
    if (!add(lits.data(), lits.size())) return nullptr;
    ++clauses;
    from = i + 1;
  }
  PyObject *rest = tail_list(codes, from);
  if (rest == nullptr) return nullptr;
  return Py_BuildValue("LLN", clauses, static_cast<long long>(ts.maxvar), rest);
}

// The internal literals of a sequence of ints.
bool lits_of(PyObject *seq, std::vector<Lit> &out);

// The internal literals of a list or tuple of DIMACS literals (exact ints,
// non-zero, variables 1 to 2**31 - 2) and their largest variable; -1, with
// no error set and `out` unspecified, for anything else (the caller then
// takes its slower path, which names the fault).
int64_t dimacs_lits(PyObject *seq, std::vector<Lit> &out);

// tp_dealloc's end for the module's types: frees the object and drops the
// reference it held to its heap type.
void dealloc(PyObject *self);

// The Config of a dict of Solver keyword options (already checked by the
// module's Solver on the Python side).
bool read_config(PyObject *options, Config *cfg);

// A dict of counters.
PyObject *new_stats(std::initializer_list<std::pair<const char *, uint64_t>> items);
// The preprocessor's counters as a dict, in QN_PREP_STATS order.
PyObject *prep_stats_dict(const prep::Preprocessor &p);

// Creates the heap type of `spec` and adds it to `module` as `name`; *out
// keeps a reference.
int add_type(PyObject *module, PyType_Spec *spec, const char *name, PyObject **out);

// A proof file's Python calls: attach_proof(fd) sends it to a duplicate of
// descriptor fd (steps logged before included); flush() / finish_proof()
// (with `close`) write the buffered steps and give the steps so far, or
// raise OSError with the error writing met.
PyObject *attach_proof(ProofFile *f, PyObject *fd);
PyObject *proof_done(ProofFile *f, bool close);

}  // namespace qn::cli
