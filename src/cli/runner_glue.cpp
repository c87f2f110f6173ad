// The runner for Python: the types Formula and Runner of
// quillon_native_cli._scan (see runner.hpp), and the stop request that
// SIGINT and SIGTERM turn into.
//
//   Formula()                      clauses read natively, kept for a driver
//   Runner(nvars, options, proof, binary, preprocess)   then attach_proof(fd)
//
// Both take blocks of DIMACS numbers from the Python reader with
// feed(block, limit, tail) -> (clauses, maxvar, tail) | None, as
// cnf_numbers does, but keep the clauses natively: no object per clause.
#include <Python.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cli/formula.hpp"
#include "portfolio/portfolio.hpp"
#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "cli/runner.hpp"
#include "cli/tokens.hpp"

namespace qn::cli {
namespace {

// The stop request of this process: set by SIGINT and SIGTERM once
// stop_on_signals() ran, read by the solver once per conflict.
std::shared_ptr<std::atomic<bool>> &stop_flag() {
  static auto flag = std::make_shared<std::atomic<bool>>(false);
  return flag;
}
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

PyObject *stop_signal(PyObject *, PyObject *) { return PyLong_FromLong(g_signal); }

// ---------------------------------------------------------------------------
// Feeding blocks.

bool tail_codes(PyObject *tail, std::vector<int64_t> &out) {
  const Py_ssize_t n = PyList_Size(tail);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const long long code = PyLong_AsLongLong(PyList_GetItem(tail, i));
    if (code == -1 && PyErr_Occurred()) return false;
    out.push_back(code);
  }
  return true;
}

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
  Owned rest(PyList_New(static_cast<Py_ssize_t>(codes.size() - from)));
  if (rest.p == nullptr) return nullptr;
  for (size_t i = from; i < codes.size(); ++i) {
    PyObject *o = PyLong_FromLongLong(codes[i]);
    if (o == nullptr || PyList_SetItem(rest.p, static_cast<Py_ssize_t>(i - from), o) < 0) return nullptr;
  }
  return Py_BuildValue("LLN", clauses, static_cast<long long>(ts.maxvar), rest.release());
}

// The internal literals of a sequence of ints.
bool lits_of(PyObject *seq, std::vector<Lit> &out) {
  Owned fast(PySequence_Fast(seq, "a clause must be a sequence of literals"));
  if (fast.p == nullptr) return false;
  const Py_ssize_t n = PySequence_Size(fast.p);
  out.clear();
  for (Py_ssize_t i = 0; i < n; ++i) {
    Owned item(PySequence_GetItem(fast.p, i));
    if (item.p == nullptr) return false;
    const unsigned long v = PyLong_AsUnsignedLong(item.p);
    if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    if (v > UINT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, "literal out of range");
      return false;
    }
    out.push_back(static_cast<Lit>(v));
  }
  return true;
}

void dealloc(PyObject *self) {
  PyTypeObject *tp = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free(self);
  Py_DECREF(tp);
}

// ---------------------------------------------------------------------------
// Formula

struct FormulaObject {
  PyObject_HEAD
  Formula *f;
  uint32_t nvars;
  std::vector<int64_t> *codes;
  std::vector<Lit> *lits;
};

PyObject *formula_type = nullptr;

FormulaObject *as_formula(PyObject *o) { return reinterpret_cast<FormulaObject *>(o); }

PyObject *formula_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  uint32_t nvars = 0;
  static const char *kw[] = {"nvars", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|I:Formula", const_cast<char **>(kw), &nvars)) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject *self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  FormulaObject *o = as_formula(self);
  o->f = nullptr;
  o->codes = nullptr;
  o->lits = nullptr;
  o->nvars = nvars;
  return guard_call([&]() -> PyObject * {
    o->f = new Formula();
    o->codes = new std::vector<int64_t>();
    o->lits = new std::vector<Lit>();
    return self;
  });
}

void formula_dealloc(PyObject *self) {
  FormulaObject *o = as_formula(self);
  delete o->f;
  delete o->codes;
  delete o->lits;
  dealloc(self);
}

PyObject *formula_feed(PyObject *self, PyObject *args) {
  FormulaObject *o = as_formula(self);
  return guard_call([&] {
    return feed_block(args, *o->codes, *o->lits, [&](const Lit *l, size_t n) {
      o->f->add(l, n);
      return true;
    });
  });
}

PyObject *formula_add_clause(PyObject *self, PyObject *clause) {
  FormulaObject *o = as_formula(self);
  return guard_call([&]() -> PyObject * {
    if (!lits_of(clause, *o->lits)) return nullptr;
    o->f->add(o->lits->data(), o->lits->size());
    Py_RETURN_NONE;
  });
}

PyObject *formula_get_nclauses(PyObject *self, void *) { return PyLong_FromSize_t(as_formula(self)->f->size()); }
PyObject *formula_get_nvars(PyObject *self, void *) { return PyLong_FromUnsignedLong(as_formula(self)->nvars); }
int formula_set_nvars(PyObject *self, PyObject *value, void *) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "nvars cannot be deleted");
    return -1;
  }
  const unsigned long v = PyLong_AsUnsignedLong(value);
  if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
  as_formula(self)->nvars = static_cast<uint32_t>(v);
  return 0;
}

PyMethodDef formula_methods[] = {
    {"feed", formula_feed, METH_VARARGS,
     "feed(block, limit, tail)\n--\n\nKeep the clauses of a block of DIMACS numbers; (clauses, maxvar, tail) or None."},
    {"add_clause", formula_add_clause, METH_O, "add_clause(lits)\n--\n\nKeep one clause of internal literals."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef formula_getset[] = {
    {"nclauses", formula_get_nclauses, nullptr, nullptr, nullptr},
    {"nvars", formula_get_nvars, formula_set_nvars, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot formula_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(formula_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(formula_dealloc)},
    {Py_tp_methods, formula_methods},
    {Py_tp_getset, formula_getset},
    {Py_tp_doc, const_cast<char *>("Formula(nvars=0)\n--\n\nClauses of internal literals, kept natively.")},
    {0, nullptr},
};

PyType_Spec formula_spec = {"quillon_native_cli._scan.Formula", sizeof(FormulaObject), 0, Py_TPFLAGS_DEFAULT,
                            formula_slots};

// ---------------------------------------------------------------------------
// Runner

struct RunnerObject {
  PyObject_HEAD
  Runner *r;
  std::vector<int64_t> *codes;
  std::vector<Lit> *lits;
};

RunnerObject *as_runner(PyObject *o) { return reinterpret_cast<RunnerObject *>(o); }

// Reads one option value of type T from `v`.
bool read_value(PyObject *v, bool *out) {
  const int t = PyObject_IsTrue(v);
  if (t < 0) return false;
  *out = t != 0;
  return true;
}
bool read_value(PyObject *v, uint64_t *out) {
  *out = PyLong_AsUnsignedLongLong(v);
  return !PyErr_Occurred();
}
bool read_value(PyObject *v, uint32_t *out) {
  uint64_t x = 0;
  if (!read_value(v, &x)) return false;
  *out = static_cast<uint32_t>(x);
  return true;
}
bool read_value(PyObject *v, double *out) {
  *out = PyFloat_AsDouble(v);
  return !PyErr_Occurred();
}
template <class E>
bool read_enum(PyObject *v, E *out) {
  Py_ssize_t n = 0;
  const char *s = PyUnicode_AsUTF8AndSize(v, &n);
  if (s == nullptr) return false;
  if (parse(std::string_view(s, static_cast<size_t>(n)), out)) return true;
  PyErr_Format(PyExc_ValueError, "unknown option value %R", v);
  return false;
}
bool read_value(PyObject *v, RestartPolicy *out) { return read_enum(v, out); }
bool read_value(PyObject *v, MinimizeMode *out) { return read_enum(v, out); }

// The Config of a dict of option values (already validated by the module's
// Solver constructor on the Python side).
bool read_config(PyObject *options, Config *cfg) {
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(options, &pos, &key, &value)) {
    const char *name = PyUnicode_AsUTF8AndSize(key, nullptr);
    if (name == nullptr) return false;
    const std::string k = name;
#define QN_READ_OPTION(opt, type, def) \
  if (k == #opt) {                     \
    if (!read_value(value, &cfg->opt)) return false; \
    continue;                          \
  }
    QN_SOLVER_OPTIONS(QN_READ_OPTION)
#undef QN_READ_OPTION
    PyErr_Format(PyExc_TypeError, "unknown solver option %R", key);
    return false;
  }
  return true;
}

PyObject *runner_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  uint32_t nvars = 0;
  PyObject *options;
  int proof = 0, binary = 0, preprocess = 0;
  static const char *kw[] = {"nvars", "options", "proof", "binary", "preprocess", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "IO!|ppp:Runner", const_cast<char **>(kw), &nvars, &PyDict_Type,
                                   &options, &proof, &binary, &preprocess)) {
    return nullptr;
  }
  Config cfg;
  if (!read_config(options, &cfg)) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject *self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  RunnerObject *o = as_runner(self);
  o->r = nullptr;
  o->codes = nullptr;
  o->lits = nullptr;
  PyObject *r = guard_call([&]() -> PyObject * {
    std::unique_ptr<ProofFile> file;
    if (proof) file = std::make_unique<ProofFile>(-1, binary != 0);
    o->codes = new std::vector<int64_t>();
    o->lits = new std::vector<Lit>();
    o->r = new Runner(nvars, cfg, std::move(file), preprocess != 0, stop_flag());
    return self;
  });
  if (r == nullptr) Py_DECREF(self);
  return r;
}

// attach_proof(fd): the proof goes to (a duplicate of) descriptor fd from now
// on, steps logged before included.
PyObject *runner_attach_proof(PyObject *self, PyObject *arg) {
  ProofFile *p = as_runner(self)->r->proof();
  if (p == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "this runner keeps no proof");
    return nullptr;
  }
  const long fd = PyLong_AsLong(arg);
  if (fd == -1 && PyErr_Occurred()) return nullptr;
  const int own = ::dup(static_cast<int>(fd));
  if (own < 0) return PyErr_SetFromErrno(PyExc_OSError);
  p->attach(own);
  Py_RETURN_NONE;
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
  return guard_call([&] {
    return feed_block(args, *o->codes, *o->lits, [&](const Lit *l, size_t n) {
      if (o->r->add_clause(l, n)) return true;
      eliminated();
      return false;
    });
  });
}

PyObject *runner_add_clause(PyObject *self, PyObject *clause) {
  RunnerObject *o = as_runner(self);
  return guard_call([&]() -> PyObject * {
    if (!lits_of(clause, *o->lits)) return nullptr;
    if (!o->r->add_clause(o->lits->data(), o->lits->size())) return eliminated();
    Py_RETURN_NONE;
  });
}

PyObject *runner_add_formula(PyObject *self, PyObject *formula) {
  if (!PyObject_TypeCheck(formula, reinterpret_cast<PyTypeObject *>(formula_type))) {
    PyErr_SetString(PyExc_TypeError, "add_formula takes a Formula");
    return nullptr;
  }
  RunnerObject *o = as_runner(self);
  const Formula &f = *as_formula(formula)->f;
  return guard_call([&]() -> PyObject * {
    for (size_t i = 0; i < f.size(); ++i) {
      if (!o->r->add_clause(f.clause(i), f.clause_len(i))) return eliminated();
    }
    Py_RETURN_NONE;
  });
}

PyObject *runner_preprocess(PyObject *self, PyObject *args) {
  unsigned int rounds = 3;
  if (!PyArg_ParseTuple(args, "I:preprocess", &rounds)) return nullptr;
  RunnerObject *o = as_runner(self);
  if (o->r->preprocessor() == nullptr || o->r->solver() != nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "preprocess() runs once, on a runner made with preprocess=True");
    return nullptr;
  }
  return guard_call([&] { return PyBool_FromLong(o->r->preprocess(rounds)); });
}

PyObject *new_stats(std::initializer_list<std::pair<const char *, uint64_t>> items) {
  Owned d(PyDict_New());
  if (d.p == nullptr) return nullptr;
  for (const auto &[name, value] : items) {
    Owned v(PyLong_FromUnsignedLongLong(value));
    if (v.p == nullptr || PyDict_SetItemString(d.p, name, v.p) < 0) return nullptr;
  }
  return d.release();
}

PyObject *runner_prep_stats(PyObject *self, PyObject *) {
  const prep::Preprocessor *p = as_runner(self)->r->preprocessor();
  if (p == nullptr) return PyDict_New();
  return new_stats({{"units", p->units},
                    {"subsumed", p->subsumed},
                    {"strengthened", p->strengthened},
                    {"eliminated_vars", p->eliminated_vars},
                    {"resolvents", p->resolvents},
                    {"pure", p->pure}});
}

PyObject *runner_stats(PyObject *self, PyObject *) {
  const Solver *s = as_runner(self)->r->solver();
  if (s == nullptr) return PyDict_New();
  const Stats &st = s->stats();
  Owned d(PyDict_New());
  if (d.p == nullptr) return nullptr;
#define QN_PUT_STAT(name, place)                                        \
  {                                                                     \
    Owned v(PyLong_FromUnsignedLongLong(st.name));                      \
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

// solve(max_conflicts=None, seconds=None): True, False or None.
PyObject *runner_solve(PyObject *self, PyObject *args) {
  PyObject *max_obj = Py_None, *sec_obj = Py_None;
  if (!PyArg_ParseTuple(args, "|OO:solve", &max_obj, &sec_obj)) return nullptr;
  std::optional<uint64_t> max_conflicts;
  if (max_obj != Py_None) {
    max_conflicts = PyLong_AsUnsignedLongLong(max_obj);
    if (PyErr_Occurred()) return nullptr;
  }
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (sec_obj != Py_None) {
    const double secs = PyFloat_AsDouble(sec_obj);
    if (secs == -1.0 && PyErr_Occurred()) return nullptr;
    if (secs < 3e9) {
      deadline = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(
                     secs > 0 ? secs : 0.0));
    }
  }
  RunnerObject *o = as_runner(self);
  if (o->r->solver() == nullptr && o->r->answer() == kUnknown) {
    PyErr_SetString(PyExc_RuntimeError, "preprocess() must run first");
    return nullptr;
  }
  return guard_call([&]() -> PyObject * {
    const uint8_t a = o->r->solve(max_conflicts, deadline);
    if (a == kSat) Py_RETURN_TRUE;
    if (a == kUnsat) Py_RETURN_FALSE;
    Py_RETURN_NONE;
  });
}

// The model as bytes (one 0/1 byte per variable) after a SAT answer, else None.
PyObject *runner_model(PyObject *self, PyObject *) {
  return guard_call([&]() -> PyObject * {
    std::vector<bool> m;
    if (!as_runner(self)->r->model(&m)) Py_RETURN_NONE;
    std::string bytes(m.size(), '\0');
    for (size_t i = 0; i < m.size(); ++i) bytes[i] = m[i] ? 1 : 0;
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject *proof_result(ProofFile *p) {
  if (p->error() != 0) {
    errno = p->error();
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  return PyLong_FromUnsignedLongLong(p->steps());
}

// flush(): writes the buffered steps; the steps written so far, None without a proof.
PyObject *runner_flush(PyObject *self, PyObject *) {
  ProofFile *p = as_runner(self)->r->proof();
  if (p == nullptr) Py_RETURN_NONE;
  p->flush();
  return proof_result(p);
}

// finish_proof(): flushes and closes the proof file; its steps, None without a proof.
PyObject *runner_finish_proof(PyObject *self, PyObject *) {
  ProofFile *p = as_runner(self)->r->proof();
  if (p == nullptr) Py_RETURN_NONE;
  p->close();
  return proof_result(p);
}

PyObject *runner_stopped(PyObject *, PyObject *) { return PyBool_FromLong(stop_flag()->load()); }

PyObject *runner_get_nvars(PyObject *self, void *) { return PyLong_FromUnsignedLong(as_runner(self)->r->nvars()); }

PyMethodDef runner_methods[] = {
    {"feed", runner_feed, METH_VARARGS,
     "feed(block, limit, tail)\n--\n\nAdd the clauses of a block of DIMACS numbers; (clauses, maxvar, tail) or None."},
    {"add_clause", runner_add_clause, METH_O, "add_clause(lits)\n--\n\nAdd one clause of internal literals."},
    {"add_formula", runner_add_formula, METH_O, "add_formula(formula)\n--\n\nAdd every clause of a Formula."},
    {"preprocess", runner_preprocess, METH_VARARGS, "preprocess(rounds)\n--\n\nRun the preprocessor; False: refuted."},
    {"prep_stats", runner_prep_stats, METH_NOARGS, "prep_stats()\n--\n\nThe preprocessor's counters."},
    {"solve", runner_solve, METH_VARARGS,
     "solve(max_conflicts=None, seconds=None)\n--\n\nSearch one slice; True, False or None."},
    {"stats", runner_stats, METH_NOARGS, "stats()\n--\n\nThe solver's counters."},
    {"conflicts", runner_conflicts, METH_NOARGS, "conflicts()\n--\n\nConflicts so far."},
    {"model", runner_model, METH_NOARGS, "model()\n--\n\nThe model as bytes after True, else None."},
    {"attach_proof", runner_attach_proof, METH_O,
     "attach_proof(fd)\n--\n\nWrite the proof to descriptor fd (duplicated) from now on."},
    {"flush", runner_flush, METH_NOARGS, "flush()\n--\n\nWrite the buffered proof steps."},
    {"finish_proof", runner_finish_proof, METH_NOARGS, "finish_proof()\n--\n\nFlush and close the proof."},
    {"stopped", runner_stopped, METH_NOARGS, "stopped()\n--\n\nWhether a stop was requested."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef runner_getset[] = {
    {"nvars", runner_get_nvars, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot runner_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(runner_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(runner_dealloc)},
    {Py_tp_methods, runner_methods},
    {Py_tp_getset, runner_getset},
    {Py_tp_doc, const_cast<char *>("Runner(nvars, options, proof=False, binary=False, preprocess=False)\n--\n\n"
                                   "One solver searched in slices, its proof streamed to a file.")},
    {0, nullptr},
};

PyType_Spec runner_spec = {"quillon_native_cli._scan.Runner", sizeof(RunnerObject), 0, Py_TPFLAGS_DEFAULT,
                           runner_slots};

// ---------------------------------------------------------------------------
// The portfolio over a Formula, each worker's proof streamed to a file.

bool read_configs(PyObject *list, std::vector<Config> *out) {
  const Py_ssize_t n = PyList_Size(list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *d = PyList_GetItem(list, i);
    if (!PyDict_Check(d)) {
      PyErr_SetString(PyExc_TypeError, "each configuration must be a dict of options");
      return false;
    }
    Config cfg;
    if (!read_config(d, &cfg)) return false;
    out->push_back(cfg);
  }
  return true;
}

// run_portfolio(formula, configs, proof_fds, binary) -> (winner, answer, model, stats):
// answer True, False or None (stopped by a signal); model bytes after True.
PyObject *run_portfolio(PyObject *, PyObject *args) {
  PyObject *formula, *config_list, *fds;
  int binary = 0;
  if (!PyArg_ParseTuple(args, "O!O!O|p:run_portfolio", reinterpret_cast<PyTypeObject *>(formula_type), &formula,
                        &PyList_Type, &config_list, &fds, &binary)) {
    return nullptr;
  }
  std::vector<Config> configs;
  if (!read_configs(config_list, &configs)) return nullptr;
  if (configs.empty()) {
    PyErr_SetString(PyExc_ValueError, "run_portfolio needs at least one configuration");
    return nullptr;
  }
  return guard_call([&]() -> PyObject * {
    std::vector<std::unique_ptr<ProofFile>> files;
    if (fds != Py_None) {
      if (!PyList_Check(fds) || PyList_Size(fds) != static_cast<Py_ssize_t>(configs.size())) {
        PyErr_SetString(PyExc_ValueError, "proof_fds must be None or one descriptor per configuration");
        return nullptr;
      }
      for (Py_ssize_t i = 0; i < PyList_Size(fds); ++i) {
        const long fd = PyLong_AsLong(PyList_GetItem(fds, i));
        if (fd == -1 && PyErr_Occurred()) return nullptr;
        const int own = ::dup(static_cast<int>(fd));
        if (own < 0) return PyErr_SetFromErrno(PyExc_OSError);
        files.push_back(std::make_unique<ProofFile>(own, binary != 0));
      }
    }
    std::vector<ProofSink *> sinks;
    for (auto &f : files) sinks.push_back(f.get());
    const Formula &f = *as_formula(formula)->f;
    portfolio::Clauses clauses(f.size());
    for (size_t i = 0; i < f.size(); ++i) clauses[i].assign(f.clause(i), f.clause(i) + f.clause_len(i));
    auto stop = std::make_shared<std::atomic<bool>>(g_signal != 0);
    g_portfolio_stop.store(stop.get());
    std::optional<portfolio::Outcome> o;
    PyThreadState *unlocked = PyEval_SaveThread();  // the workers never touch Python
    try {
      o = portfolio::run(as_formula(formula)->nvars, clauses, nullptr, 0, configs, !files.empty(), portfolio::run_one,
                         sinks, stop);
    } catch (...) {
      g_portfolio_stop.store(nullptr);
      PyEval_RestoreThread(unlocked);
      throw;
    }
    g_portfolio_stop.store(nullptr);
    PyEval_RestoreThread(unlocked);
    { portfolio::Clauses().swap(clauses); }
    Owned proofs(PyList_New(0));
    if (proofs.p == nullptr) return nullptr;
    for (auto &file : files) {
      file->close();
      Owned n(file->error() != 0 ? PyLong_FromLong(-file->error()) : PyLong_FromUnsignedLongLong(file->steps()));
      if (n.p == nullptr || PyList_Append(proofs.p, n.p) < 0) return nullptr;
    }
    std::string bytes(o->model.size(), '\0');
    for (size_t i = 0; i < o->model.size(); ++i) bytes[i] = o->model[i] ? 1 : 0;
    Owned model(o->sat ? PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()))
                       : Py_NewRef(Py_None));
    if (model.p == nullptr) return nullptr;
    PyObject *answer = o->stopped ? Py_None : o->sat ? Py_True : Py_False;
    Owned stats(new_stats({{"conflicts", o->stats.conflicts},
                           {"decisions", o->stats.decisions},
                           {"propagations", o->stats.propagations},
                           {"restarts", o->stats.restarts}}));
    if (stats.p == nullptr) return nullptr;
    return Py_BuildValue("KONNN", static_cast<unsigned long long>(o->worker), answer, model.release(),
                         stats.release(), proofs.release());
  });
}

PyMethodDef runner_functions[] = {
    {"stop_on_signals", stop_on_signals, METH_NOARGS,
     "stop_on_signals()\n--\n\nFrom now on SIGINT and SIGTERM ask the runners' searches to stop."},
    {"stop_signal", stop_signal, METH_NOARGS, "stop_signal()\n--\n\nThe first stop signal received, 0 if none."},
    {"run_portfolio", run_portfolio, METH_VARARGS,
     "run_portfolio(formula, configs, proof_fds, binary=False)\n--\n\n"
     "Race the configurations on threads; (winner, answer, model, stats, proof steps per worker)."},
    {nullptr, nullptr, 0, nullptr},
};

int add_type(PyObject *module, PyType_Spec *spec, const char *name, PyObject **out) {
  PyObject *t = PyType_FromSpec(spec);
  if (t == nullptr) return -1;
  *out = t;
  Py_INCREF(t);
  if (PyModule_AddObject(module, name, t) < 0) {
    Py_DECREF(t);
    return -1;
  }
  return 0;
}

}  // namespace

int add_runner(PyObject *module) {
  static PyObject *runner_type = nullptr;
  if (add_type(module, &formula_spec, "Formula", &formula_type) < 0) return -1;
  if (add_type(module, &runner_spec, "Runner", &runner_type) < 0) return -1;
  return PyModule_AddFunctions(module, runner_functions);
}

}  // namespace qn::cli
