// run_portfolio(formula, configs, proof_fds, binary): the portfolio's
// threaded race over a Formula, each worker streaming its proof to a
// descriptor of its own; stopped by a stop signal like the runners.
#include <Python.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/formula_type.hpp"
#include "cli/module.hpp"
#include "cli/proof_file.hpp"
#include "cli/py_glue.hpp"
#include "cli/stop.hpp"
#include "portfolio/portfolio.hpp"

namespace qn::cli {
namespace {

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

// Each worker's counters at its end, answered or stopped: a stopped run
// reports what its workers did.  One race at a time per process.
std::vector<Stats> *g_worker_stats = nullptr;
std::atomic<bool> g_racing{false};

portfolio::Outcome counted_run(uint64_t worker, uint32_t nvars, const portfolio::Clauses &clauses,
                               const Config &config, portfolio::StopFlag stop, bool want_proof, ProofSink *sink) {
  portfolio::Outcome o = portfolio::run_one(worker, nvars, clauses, config, std::move(stop), want_proof, sink);
  (*g_worker_stats)[worker] = o.stats;
  return o;
}

// The counters of a finished race: the winner's, or when it was stopped
// worker 0's (whose proof is kept); all_conflicts sums every worker's.
PyObject *race_stats(const portfolio::Outcome &o, const std::vector<Stats> &workers) {
  const Stats &st = o.stopped ? workers[0] : o.stats;
  uint64_t all = 0;
  for (const Stats &w : workers) all += w.conflicts;
  return new_stats({{"conflicts", st.conflicts},
                    {"decisions", st.decisions},
                    {"propagations", st.propagations},
                    {"restarts", st.restarts},
                    {"all_conflicts", all}});
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
  if (g_racing.exchange(true)) {
    PyErr_SetString(PyExc_RuntimeError, "run_portfolio is in use by another thread");
    return nullptr;
  }
  std::vector<Stats> worker_stats(configs.size());
  g_worker_stats = &worker_stats;
  PyObject *r = boundary([&]() -> PyObject * {
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
    auto stop = std::make_shared<std::atomic<bool>>(stop_signal_received() != 0);
    watch_portfolio_flag(stop.get());
    std::optional<portfolio::Outcome> o;
    PyThreadState *unlocked = PyEval_SaveThread();  // the workers never touch Python
    try {
      o = portfolio::run(as_formula(formula)->nvars, clauses, nullptr, 0, configs, !files.empty(), counted_run,
                         sinks, stop);
    } catch (...) {
      watch_portfolio_flag(nullptr);
      PyEval_RestoreThread(unlocked);
      throw;
    }
    watch_portfolio_flag(nullptr);
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
    Owned stats(race_stats(*o, worker_stats));
    if (stats.p == nullptr) return nullptr;
    return Py_BuildValue("KONNN", static_cast<unsigned long long>(o->worker), answer, model.release(),
                         stats.release(), proofs.release());
  });
  g_worker_stats = nullptr;
  g_racing.store(false);
  return r;
}

PyMethodDef portfolio_functions[] = {
    {"run_portfolio", entry<run_portfolio>, METH_VARARGS,
     "run_portfolio(formula, configs, proof_fds, binary=False)\n--\n\n"
     "Race the configurations on threads; (winner, answer, model, stats, proof steps per worker)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_portfolio_function(PyObject *module) { return PyModule_AddFunctions(module, portfolio_functions); }

}  // namespace qn::cli
