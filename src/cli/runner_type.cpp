// Runner(nvars, options, proof=False, binary=False, preprocess=False,
// own_stop=False): the runner (runner.hpp) for Python.  Clauses come from
// add_clause, add_dimacs or add_formula; solve(max_conflicts, seconds)
// searches one slice; the proof goes to the descriptor given by
// attach_proof, flushed at every slice end.  solve(..., assumptions=lits) is a new search under those
// literals (failed() then names the failed ones); with own_stop the runner
// stops at interrupt() rather than at the process's stop requests.
#include <Python.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cli/deadline.hpp"
#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "cli/runner.hpp"
#include "cli/stop.hpp"
#include "pyglue/options.hpp"
#include "pyglue/results.hpp"

namespace qn::cli {
namespace {

struct RunnerState {
  std::unique_ptr<Runner> r;
  std::vector<Lit> lits;  // scratch of the clause input
  bool own_stop = false;
  bool add(const Lit *l, size_t n);
};

// Variable counts below this are sized on the calling thread (well under a
// second's work).
constexpr uint64_t kSizedInline = uint64_t{1} << 20;

// A runner whose tables are sized up front for `nvars` variables: for a
// large count, made on a helper thread while this one waits, so that a
// signal whose handler raises (a stop, the time limit) ends the wait at
// once (nullptr then, the helper deleting what it makes).
template <class Make>
std::unique_ptr<Runner> make_sized(uint32_t nvars, Make make) {
  if (nvars < kSizedInline) return std::unique_ptr<Runner>(make());
  auto made = std::make_shared<std::unique_ptr<Runner>>();
  const bool ended = glue::beside([made, make] { made->reset(make()); }, [](bool signalled) { return !signalled; });
  return ended ? std::move(*made) : nullptr;
}

PyObject *runner_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  uint32_t nvars = 0;
  PyObject *options;
  int proof = 0, binary = 0, preprocess = 0, own_stop = 0;
  static const char *kw[] = {"nvars", "options", "proof", "binary", "preprocess", "own_stop", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "IO!|pppp:Runner", const_cast<char **>(kw), &nvars, &PyDict_Type,
                                   &options, &proof, &binary, &preprocess, &own_stop)) {
    return nullptr;
  }
  Config cfg;
  if (!glue::read_options(options, &cfg)) return nullptr;
  use_incremental(&cfg);  // this runner serves calls under assumptions
  auto o = std::make_unique<RunnerState>();
  o->own_stop = own_stop != 0;
  auto stop = own_stop ? std::make_shared<std::atomic<bool>>(false) : stop_flag();
  o->r = make_sized(nvars, [nvars, cfg, proof, binary, preprocess, stop] {
    std::unique_ptr<ProofFile> file;
    if (proof) file = std::make_unique<ProofFile>(-1, binary != 0);
    return new Runner(nvars, cfg, std::move(file), preprocess != 0, stop);
  });
  return o->r == nullptr ? nullptr : glue::box_alloc(type, o.release());
}

// attach_proof(fd): the proof goes to (a duplicate of) descriptor fd from now
// on, steps logged before included.
PyObject *runner_attach_proof(RunnerState &o, PyObject *fd) {
  ProofFile *p = o.r->proof();
  if (p == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "this runner keeps no proof");
    return nullptr;
  }
  const long n = PyLong_AsLong(fd);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  const int own = ::dup(static_cast<int>(n));
  if (own < 0) return PyErr_SetFromErrno(PyExc_OSError);
  p->attach(own);
  Py_RETURN_NONE;
}

bool RunnerState::add(const Lit *l, size_t n) {
  if (r->add_clause(l, n)) return true;
  PyErr_SetString(PyExc_ValueError, "a clause names an eliminated variable");
  return false;
}

PyObject *runner_preprocess(RunnerState &o, PyObject *args) {
  unsigned int rounds = prep::kDefaultRounds;
  if (!PyArg_ParseTuple(args, "I:preprocess", &rounds)) return nullptr;
  if (o.r->preprocessor() == nullptr || o.r->solver() != nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "preprocess() runs once, on a runner made with preprocess=True");
    return nullptr;
  }
  return PyBool_FromLong(o.r->preprocess(rounds));
}

PyObject *runner_prep_stats(RunnerState &o, PyObject *) {
  const prep::Preprocessor *p = o.r->preprocessor();
  return p == nullptr ? PyDict_New() : glue::prep_counters(*p);
}

PyObject *runner_stats(RunnerState &o, PyObject *) {
  const Solver *s = o.r->solver();
  return s == nullptr ? PyDict_New() : glue::solver_counters(s->stats());
}

// solve(max_conflicts=None, seconds=None, *, assumptions=None, dimacs=False):
// True, False or None.  With assumptions (a sequence of internal literals,
// possibly empty) the search starts again whatever the last answer was.
// With dimacs, the assumptions are a list or tuple of plain DIMACS literals;
// anything else returns NotImplemented without searching.
PyObject *runner_solve(RunnerState &o, PyObject *args, PyObject *kwargs) {
  PyObject *max_obj = Py_None, *sec_obj = Py_None, *assumed = Py_None;
  int dimacs = 0;
  static const char *kw[] = {"max_conflicts", "seconds", "assumptions", "dimacs", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO$Op:solve", const_cast<char **>(kw), &max_obj, &sec_obj,
                                   &assumed, &dimacs)) {
    return nullptr;
  }
  std::optional<uint64_t> max_conflicts;
  if (max_obj != Py_None) {
    max_conflicts = PyLong_AsUnsignedLongLong(max_obj);
    if (PyErr_Occurred()) return nullptr;
  }
  std::optional<Clock::time_point> deadline;
  if (sec_obj != Py_None) {
    const double secs = PyFloat_AsDouble(sec_obj);
    if (secs == -1.0 && PyErr_Occurred()) return nullptr;
    deadline = deadline_in(secs);
  }
  if (o.r->solver() == nullptr && o.r->answer() == kUnknown) {
    PyErr_SetString(PyExc_RuntimeError, "preprocess() must run first");
    return nullptr;
  }
  if (assumed != Py_None && o.r->preprocessor() != nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "assumptions need a runner made without preprocess");
    return nullptr;
  }
  if (assumed != Py_None && dimacs && dimacs_lits(assumed, o.lits) < 0) Py_RETURN_NOTIMPLEMENTED;
  if (assumed != Py_None && !dimacs && !lits_of(assumed, o.lits)) return nullptr;
  uint8_t a;
  {
    // The search touches no Python object: other threads (other runners) go on meanwhile.
    glue::Unlocked unlocked;
    a = assumed == Py_None ? o.r->solve(max_conflicts, deadline)
                           : o.r->solve_assuming(o.lits, max_conflicts, deadline);
    // An interrupt stops the search it meets (or the next one) only.
    if (o.own_stop) o.r->stop()->store(false);
  }
  if (a == kSat) Py_RETURN_TRUE;
  if (a == kUnsat) Py_RETURN_FALSE;
  Py_RETURN_NONE;
}

// The model as bytes (one 0/1 byte per variable) after a SAT answer, else None.
PyObject *runner_model(RunnerState &o, PyObject *) {
  std::vector<bool> m;
  if (!o.r->model(&m)) Py_RETURN_NONE;
  std::string bytes(m.size(), '\0');
  for (size_t i = 0; i < m.size(); ++i) bytes[i] = m[i] ? 1 : 0;
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// finish_proof(): flushes and closes the proof file; its steps, None without
// a proof, OSError with the error writing it met.
PyObject *runner_finish_proof(RunnerState &o, PyObject *) {
  ProofFile *p = o.r->proof();
  if (p == nullptr) Py_RETURN_NONE;
  p->close();
  if (p->error() == 0) return to_py(p->steps());
  errno = p->error();
  return PyErr_SetFromErrno(PyExc_OSError);
}

// failed(dimacs=False): the failed assumptions (internal literals, or DIMACS
// ones with dimacs) after False under assumptions, else [].
PyObject *runner_failed(RunnerState &o, PyObject *args) {
  int dimacs = 0;
  if (!PyArg_ParseTuple(args, "|p:failed", &dimacs)) return nullptr;
  const std::vector<Lit> &f = o.r->failed();
  return glue::new_list(f.size(), [&](size_t i) { return dimacs ? to_py(to_dimacs(f[i])) : to_py(f[i]); });
}

// interrupt(): from any thread, stops this runner's search at its next
// conflict (it then answers None).  Only for a runner made with own_stop.
PyObject *runner_interrupt(PyObject *self, PyObject *) {
  RunnerState &o = glue::native<RunnerState>(self);
  if (!o.own_stop) {
    PyErr_SetString(PyExc_RuntimeError, "interrupt() needs a runner made with own_stop=True");
    return nullptr;
  }
  o.r->stop()->store(true);
  Py_RETURN_NONE;
}

PyMethodDef runner_methods[] = {
    {"add_clause", method<RunnerState, add_clause<RunnerState>>, METH_O,
     "add_clause(lits)\n--\n\nAdd one clause of internal literals."},
    {"add_dimacs", method<RunnerState, add_dimacs<RunnerState>>, METH_O,
     "add_dimacs(clause)\n--\n\nAdd a list of plain DIMACS literals; its largest variable, or -1: not added."},
    QN_FORMULA_INPUT(RunnerState, "Add"),
    {"preprocess", method<RunnerState, runner_preprocess>, METH_VARARGS, "preprocess(rounds)\n--\n\nRun the preprocessor; False: refuted."},
    {"prep_stats", method<RunnerState, runner_prep_stats>, METH_NOARGS, "prep_stats()\n--\n\nThe preprocessor's counters."},
    {"solve", glue::as_cfunc(method_kw<RunnerState, runner_solve>), METH_VARARGS | METH_KEYWORDS,
     "solve(max_conflicts=None, seconds=None, *, assumptions=None, dimacs=False)\n--\n\nSearch one slice; True, False "
     "or None (NotImplemented: dimacs assumptions that are not plain)."},
    {"failed", method<RunnerState, runner_failed>, METH_VARARGS,
     "failed(dimacs=False)\n--\n\nThe failed assumptions after False under assumptions (DIMACS literals with dimacs)."},
    // Not exclusive: it is meant for another thread while solve runs.
    {"interrupt", entry<runner_interrupt>, METH_NOARGS, "interrupt()\n--\n\nStop this runner's search (own_stop only)."},
    {"stats", method<RunnerState, runner_stats>, METH_NOARGS, "stats()\n--\n\nThe solver's counters."},
    {"model", method<RunnerState, runner_model>, METH_NOARGS, "model()\n--\n\nThe model as bytes after True, else None."},
    {"attach_proof", method<RunnerState, runner_attach_proof>, METH_O,
     "attach_proof(fd)\n--\n\nWrite the proof to descriptor fd (duplicated) from now on."},
    {"finish_proof", method<RunnerState, runner_finish_proof>, METH_NOARGS, "finish_proof()\n--\n\nFlush and close the proof."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef runner_getset[] = {
    {"nvars", prop<RunnerState, [](RunnerState &o) { return o.r->nvars(); }>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_runner_type(PyObject *module) {
  return add_class<RunnerState>(
      module, kRunnerType,
      {.name = "quillon_native_cli._scan.Runner",
       .doc = "Runner(nvars, options, proof=False, binary=False, preprocess=False, own_stop=False)\n--\n\n"
              "One solver searched in slices, its proof streamed to a file.",
       .make = make<runner_new>, .methods = runner_methods, .getset = runner_getset});
}

}  // namespace qn::cli
