// Runner(nvars, options, proof=False, binary=False, preprocess=False,
// own_stop=False): the runner (runner.hpp) for Python.  Clauses come from
// feed(block, limit, tail) (as cnf_numbers, but kept natively), add_clause,
// add_formula or add_flat; solve(max_conflicts, seconds) searches one slice;
// the proof goes to the descriptor given by attach_proof, flushed at every
// slice end.  solve(..., assumptions=lits) is a new search under those
// literals (failed() then names the failed ones); with own_stop the runner
// stops at interrupt() rather than at the process's stop requests.
#include <Python.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cli/deadline.hpp"
#include "cli/formula_type.hpp"
#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "cli/runner.hpp"
#include "cli/stop.hpp"

namespace qn::cli {
namespace {

struct RunnerObject : NativeObject {
  Runner *r;
  std::vector<int64_t> *codes;
  std::vector<Lit> *lits;
  bool own_stop;
};

RunnerObject *as_runner(PyObject *o) { return reinterpret_cast<RunnerObject *>(o); }

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
  if (!read_config(options, &cfg)) return nullptr;
  use_incremental(&cfg);  // this runner serves calls under assumptions
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject *self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  RunnerObject *o = as_runner(self);
  o->r = nullptr;
  o->codes = nullptr;
  o->lits = nullptr;
  o->own_stop = own_stop != 0;
  PyObject *r = boundary([&]() -> PyObject * {
    o->codes = new std::vector<int64_t>();
    o->lits = new std::vector<Lit>();
    auto stop = own_stop ? std::make_shared<std::atomic<bool>>(false) : stop_flag();
    o->r = make_sized<Runner>(nvars, [nvars, cfg, proof, binary, preprocess, stop] {
      std::unique_ptr<ProofFile> file;
      if (proof) file = std::make_unique<ProofFile>(-1, binary != 0);
      return new Runner(nvars, cfg, std::move(file), preprocess != 0, stop);
    });
    return o->r == nullptr ? nullptr : self;
  });
  if (r == nullptr) Py_DECREF(self);
  return r;
}

// attach_proof(fd): the proof goes to (a duplicate of) descriptor fd from now
// on, steps logged before included.
PyObject *runner_attach_proof(PyObject *self, PyObject *fd) {
  ProofFile *p = as_runner(self)->r->proof();
  if (p == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "this runner keeps no proof");
    return nullptr;
  }
  return attach_proof(p, fd);
}

void runner_dealloc(PyObject *self) {
  RunnerObject *o = as_runner(self);
  delete o->r;
  delete o->codes;
  delete o->lits;
  dealloc(self);
}

PyObject *eliminated() {
  PyErr_SetString(PyExc_ValueError, "a clause names an eliminated variable");
  return nullptr;
}

PyObject *runner_feed(PyObject *self, PyObject *args) {
  RunnerObject *o = as_runner(self);
  return feed_block(args, *o->codes, *o->lits, [&](const Lit *l, size_t n) {
    if (o->r->add_clause(l, n)) return true;
    eliminated();
    return false;
  });
}

PyObject *runner_add_clause(PyObject *self, PyObject *clause) {
  RunnerObject *o = as_runner(self);
  if (!lits_of(clause, *o->lits)) return nullptr;
  if (!o->r->add_clause(o->lits->data(), o->lits->size())) return eliminated();
  Py_RETURN_NONE;
}

// add_dimacs(clause): adds a list or tuple of plain DIMACS literals and
// returns its largest variable; -1, adding nothing, for anything else.
PyObject *runner_add_dimacs(PyObject *self, PyObject *clause) {
  RunnerObject *o = as_runner(self);
  const int64_t top = dimacs_lits(clause, *o->lits);
  if (top >= 0 && !o->r->add_clause(o->lits->data(), o->lits->size())) return eliminated();
  return PyLong_FromLongLong(top);
}

PyObject *runner_add_formula(PyObject *self, PyObject *formula) {
  RunnerObject *o = as_runner(self);
  return add_formula_clauses(formula, [&](const Lit *lits, size_t n) {
    if (o->r->add_clause(lits, n)) return true;
    eliminated();
    return false;
  });
}

// A read-only C-contiguous buffer of `itemsize`-byte items, released at scope end.
struct Buffer {
  Py_buffer view{};
  bool ok = false;
  Buffer(PyObject *o, Py_ssize_t itemsize, const char *what) {
    if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return;
    ok = view.itemsize == itemsize && view.format != nullptr && std::string(view.format).find_first_of("IQLK") !=
                                                                    std::string::npos;
    if (!ok) PyErr_Format(PyExc_TypeError, "%s must be an array of %zd-byte unsigned integers", what, itemsize);
  }
  ~Buffer() {
    if (view.obj != nullptr) PyBuffer_Release(&view);
  }
  size_t size() const { return static_cast<size_t>(view.len / view.itemsize); }
};

// add_flat(lits, ends): the clauses of arrays lits ('I') and ends ('Q', one
// past each clause's last literal), as strategy.Clauses keeps them.
PyObject *runner_add_flat(PyObject *self, PyObject *args) {
  PyObject *lits_obj, *ends_obj;
  if (!PyArg_ParseTuple(args, "OO:add_flat", &lits_obj, &ends_obj)) return nullptr;
  Buffer lits(lits_obj, 4, "lits");
  if (!lits.ok) return nullptr;
  Buffer ends(ends_obj, 8, "ends");
  if (!ends.ok) return nullptr;
  const auto *l = static_cast<const Lit *>(lits.view.buf);
  const auto *e = static_cast<const uint64_t *>(ends.view.buf);
  RunnerObject *o = as_runner(self);
  uint64_t start = 0;
  for (size_t i = 0; i < ends.size(); ++i) {
    if (e[i] < start || e[i] > lits.size()) {
      PyErr_SetString(PyExc_ValueError, "ends must rise and stay within lits");
      return nullptr;
    }
    if (!o->r->add_clause(l + start, static_cast<size_t>(e[i] - start))) return eliminated();
    start = e[i];
  }
  Py_RETURN_NONE;
}

PyObject *runner_preprocess(PyObject *self, PyObject *args) {
  unsigned int rounds = prep::kDefaultRounds;
  if (!PyArg_ParseTuple(args, "I:preprocess", &rounds)) return nullptr;
  RunnerObject *o = as_runner(self);
  if (o->r->preprocessor() == nullptr || o->r->solver() != nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "preprocess() runs once, on a runner made with preprocess=True");
    return nullptr;
  }
  return PyBool_FromLong(o->r->preprocess(rounds));
}

PyObject *runner_prep_stats(PyObject *self, PyObject *) {
  const prep::Preprocessor *p = as_runner(self)->r->preprocessor();
  if (p == nullptr) return PyDict_New();
  return prep_stats_dict(*p);
}

PyObject *runner_stats(PyObject *self, PyObject *) {
  const Solver *s = as_runner(self)->r->solver();
  if (s == nullptr) return PyDict_New();
  const Stats &st = s->stats();
  Owned d(PyDict_New());
  if (d.p == nullptr) return nullptr;
#define QN_PUT_STAT(name, place)                                                   \
  {                                                                                \
    Owned v(PyLong_FromUnsignedLongLong(st.name));                                 \
    if (v.p == nullptr || PyDict_SetItemString(d.p, #name, v.p) < 0) return nullptr; \
  }
  QN_SOLVER_STATS(QN_PUT_STAT)
#undef QN_PUT_STAT
  return d.release();
}

PyObject *runner_conflicts(PyObject *self, PyObject *) {
  const Solver *s = as_runner(self)->r->solver();
  return PyLong_FromUnsignedLongLong(s == nullptr ? 0 : s->stats().conflicts);
}

// solve(max_conflicts=None, seconds=None, *, assumptions=None, dimacs=False):
// True, False or None.  With assumptions (a sequence of internal literals,
// possibly empty) the search starts again whatever the last answer was.
// With dimacs, the assumptions are a list or tuple of plain DIMACS literals;
// anything else returns NotImplemented without searching.
PyObject *runner_solve(PyObject *self, PyObject *args, PyObject *kwargs) {
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
  RunnerObject *o = as_runner(self);
  if (o->r->solver() == nullptr && o->r->answer() == kUnknown) {
    PyErr_SetString(PyExc_RuntimeError, "preprocess() must run first");
    return nullptr;
  }
  if (assumed != Py_None && o->r->preprocessor() != nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "assumptions need a runner made without preprocess");
    return nullptr;
  }
  if (assumed != Py_None && dimacs && dimacs_lits(assumed, *o->lits) < 0) Py_RETURN_NOTIMPLEMENTED;
  if (assumed != Py_None && !dimacs && !lits_of(assumed, *o->lits)) return nullptr;
  uint8_t a;
  {
    // The search touches no Python object: other threads (other runners) go on meanwhile.
    struct Unlocked {
      PyThreadState *state = PyEval_SaveThread();
      ~Unlocked() { PyEval_RestoreThread(state); }
    } unlocked;
    a = assumed == Py_None ? o->r->solve(max_conflicts, deadline)
                           : o->r->solve_assuming(*o->lits, max_conflicts, deadline);
    // An interrupt stops the search it meets (or the next one) only.
    if (o->own_stop) o->r->stop()->store(false);
  }
  if (a == kSat) Py_RETURN_TRUE;
  if (a == kUnsat) Py_RETURN_FALSE;
  Py_RETURN_NONE;
}

// The model as bytes (one 0/1 byte per variable) after a SAT answer, else None.
PyObject *runner_model(PyObject *self, PyObject *) {
  std::vector<bool> m;
  if (!as_runner(self)->r->model(&m)) Py_RETURN_NONE;
  std::string bytes(m.size(), '\0');
  for (size_t i = 0; i < m.size(); ++i) bytes[i] = m[i] ? 1 : 0;
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// flush(): writes the buffered steps; the steps written so far, None without a proof.
PyObject *runner_flush(PyObject *self, PyObject *) {
  ProofFile *p = as_runner(self)->r->proof();
  if (p == nullptr) Py_RETURN_NONE;
  return proof_done(p, false);
}

// finish_proof(): flushes and closes the proof file; its steps, None without a proof.
PyObject *runner_finish_proof(PyObject *self, PyObject *) {
  ProofFile *p = as_runner(self)->r->proof();
  if (p == nullptr) Py_RETURN_NONE;
  return proof_done(p, true);
}

// failed(dimacs=False): the failed assumptions (internal literals, or DIMACS
// ones with dimacs) after False under assumptions, else [].
PyObject *runner_failed(PyObject *self, PyObject *args) {
  int dimacs = 0;
  if (!PyArg_ParseTuple(args, "|p:failed", &dimacs)) return nullptr;
  const std::vector<Lit> &f = as_runner(self)->r->failed();
  Owned out(PyList_New(static_cast<Py_ssize_t>(f.size())));
  if (out.p == nullptr) return nullptr;
  for (size_t i = 0; i < f.size(); ++i) {
    PyObject *v = dimacs ? PyLong_FromLongLong(to_dimacs(f[i])) : PyLong_FromUnsignedLong(f[i]);
    if (v == nullptr) return nullptr;
    PyList_SetItem(out.p, static_cast<Py_ssize_t>(i), v);
  }
  return out.release();
}

// interrupt(): from any thread, stops this runner's search at its next
// conflict (it then answers None).  Only for a runner made with own_stop.
PyObject *runner_interrupt(PyObject *self, PyObject *) {
  RunnerObject *o = as_runner(self);
  if (!o->own_stop) {
    PyErr_SetString(PyExc_RuntimeError, "interrupt() needs a runner made with own_stop=True");
    return nullptr;
  }
  o->r->stop()->store(true);
  Py_RETURN_NONE;
}

PyObject *runner_stopped(PyObject *, PyObject *) { return PyBool_FromLong(stop_flag()->load()); }

PyObject *runner_get_nvars(PyObject *self, void *) { return PyLong_FromUnsignedLong(as_runner(self)->r->nvars()); }

PyMethodDef runner_methods[] = {
    {"feed", method<runner_feed>, METH_VARARGS,
     "feed(block, limit, tail)\n--\n\nAdd the clauses of a block of DIMACS numbers; (clauses, maxvar, tail) or None."},
    {"add_clause", method<runner_add_clause>, METH_O, "add_clause(lits)\n--\n\nAdd one clause of internal literals."},
    {"add_dimacs", method<runner_add_dimacs>, METH_O,
     "add_dimacs(clause)\n--\n\nAdd a list of plain DIMACS literals; its largest variable, or -1: not added."},
    {"add_formula", method<runner_add_formula>, METH_O, "add_formula(formula)\n--\n\nAdd every clause of a Formula."},
    {"add_flat", method<runner_add_flat>, METH_VARARGS,
     "add_flat(lits, ends)\n--\n\nAdd the clauses of flat arrays of literals and clause ends."},
    {"preprocess", method<runner_preprocess>, METH_VARARGS, "preprocess(rounds)\n--\n\nRun the preprocessor; False: refuted."},
    {"prep_stats", method<runner_prep_stats>, METH_NOARGS, "prep_stats()\n--\n\nThe preprocessor's counters."},
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_kw<runner_solve>)), METH_VARARGS | METH_KEYWORDS,
     "solve(max_conflicts=None, seconds=None, *, assumptions=None, dimacs=False)\n--\n\nSearch one slice; True, False "
     "or None (NotImplemented: dimacs assumptions that are not plain)."},
    {"failed", method<runner_failed>, METH_VARARGS,
     "failed(dimacs=False)\n--\n\nThe failed assumptions after False under assumptions (DIMACS literals with dimacs)."},
    // Not exclusive: it is meant for another thread while solve runs.
    {"interrupt", entry<runner_interrupt>, METH_NOARGS, "interrupt()\n--\n\nStop this runner's search (own_stop only)."},
    {"stats", method<runner_stats>, METH_NOARGS, "stats()\n--\n\nThe solver's counters."},
    {"conflicts", method<runner_conflicts>, METH_NOARGS, "conflicts()\n--\n\nConflicts so far."},
    {"model", method<runner_model>, METH_NOARGS, "model()\n--\n\nThe model as bytes after True, else None."},
    {"attach_proof", method<runner_attach_proof>, METH_O,
     "attach_proof(fd)\n--\n\nWrite the proof to descriptor fd (duplicated) from now on."},
    {"flush", method<runner_flush>, METH_NOARGS, "flush()\n--\n\nWrite the buffered proof steps."},
    {"finish_proof", method<runner_finish_proof>, METH_NOARGS, "finish_proof()\n--\n\nFlush and close the proof."},
    {"stopped", method<runner_stopped>, METH_NOARGS, "stopped()\n--\n\nWhether a stop was requested."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef runner_getset[] = {
    {"nvars", getter<runner_get_nvars>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot runner_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(make<runner_new>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(runner_dealloc)},
    {Py_tp_methods, runner_methods},
    {Py_tp_getset, runner_getset},
    {Py_tp_doc, const_cast<char *>("Runner(nvars, options, proof=False, binary=False, preprocess=False, own_stop=False)\n--\n\n"
                                   "One solver searched in slices, its proof streamed to a file.")},
    {0, nullptr},
};

PyType_Spec runner_spec = {"quillon_native_cli._scan.Runner", sizeof(RunnerObject), 0, Py_TPFLAGS_DEFAULT,
                           runner_slots};

}  // namespace

int add_runner_type(PyObject *module) {
  static PyObject *runner_type = nullptr;
  return add_type(module, &runner_spec, "Runner", &runner_type);
}

}  // namespace qn::cli
