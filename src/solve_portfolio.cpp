// solve_portfolio: the Python face of the threaded portfolio runner.
//
//   solve_portfolio(nvars, clauses, configs, alt=None, alt_threads=0,
//                   want_proof=False)
//     -> None | (worker, from_alt, sat, model, conflicts, decisions,
//                propagations, restarts, proof)
//
// Everything Python-facing happens here on the calling thread: the
// arguments and the per-worker option mappings are read and checked first,
// then the interpreter lock is released for the whole native run (threads
// or not), and the winner's outcome is turned into the result tuple once
// the lock is back.
#include <string>
#include <vector>

#include "module.hpp"
#include "portfolio/portfolio.hpp"
#include "solver/config.hpp"

namespace qn::py {
namespace {

const Signature sig_solve_portfolio{
    "solve_portfolio()", {"nvars", "clauses", "configs", "alt", "alt_threads", "want_proof"}, 3};

// ---------------------------------------------------------------------------
// Worker configurations.
//
// Each item of `configs` is any object subscriptable by the option names; all
// twenty keys must be present.  The two option strings are kept as given and
// parsed only once every argument has been read, so that a conversion error
// anywhere wins over an unknown option string.

struct WorkerConfig {
  std::string restart;
  std::string ccmin;
  Config cfg;  // every field but restart and ccmin filled by reading
};

struct Field {
  const char *key;
  bool (*read)(PyObject *value, WorkerConfig &w);
};

#define QN_WORKER_FIELD(name, conv) \
  Field { #name, [](PyObject *v, WorkerConfig &w) { return conv(v, &w.cfg.name); } }

// In reading order; the first failing key is the one reported.
const Field kFields[] = {
    {"restart", [](PyObject *v, WorkerConfig &w) { return conv_text(v, &w.restart); }},
    {"ccmin", [](PyObject *v, WorkerConfig &w) { return conv_text(v, &w.ccmin); }},
    QN_WORKER_FIELD(phase_saving, conv_bool),
    QN_WORKER_FIELD(init_phase, conv_bool),
    QN_WORKER_FIELD(target_phase, conv_bool),
    QN_WORKER_FIELD(target_reset, conv_u64),
    QN_WORKER_FIELD(walk_flips, conv_u64),
    QN_WORKER_FIELD(walk_interval, conv_u64),
    QN_WORKER_FIELD(walk_patience, conv_u64),
    QN_WORKER_FIELD(walk_min_conflicts, conv_u64),
    QN_WORKER_FIELD(var_decay, conv_f64),
    QN_WORKER_FIELD(var_decay_max, conv_f64),
    QN_WORKER_FIELD(cla_decay, conv_f64),
    QN_WORKER_FIELD(luby_base, conv_f64),
    QN_WORKER_FIELD(first_reduce, conv_u64),
    QN_WORKER_FIELD(reduce_inc, conv_u64),
    QN_WORKER_FIELD(glue_keep, conv_u32),
    QN_WORKER_FIELD(block_restart, conv_bool),
    QN_WORKER_FIELD(rnd_freq, conv_f64),
    QN_WORKER_FIELD(rnd_seed, conv_u32),
};
#undef QN_WORKER_FIELD

constexpr size_t kNumFields = sizeof kFields / sizeof kFields[0];
static_assert(kNumFields == 20);

// The key strings, created on first use and kept for the life of the
// process (like the class objects), so that no call builds them again.
PyObject *field_keys[kNumFields] = {};

bool make_field_keys() {
  if (field_keys[kNumFields - 1] != nullptr) return true;
  for (size_t i = 0; i < kNumFields; ++i) {
    if (field_keys[i] != nullptr) continue;
    field_keys[i] = PyUnicode_InternFromString(kFields[i].key);
    if (field_keys[i] == nullptr) return false;
  }
  return true;
}

// Replaces the pending conversion error by
// TypeError("failed to extract field WorkerConfig.{key}") raised from it.
void raise_field_error(const char *key) {
  PyObject *type = nullptr, *cause = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &cause, &tb);
  PyErr_NormalizeException(&type, &cause, &tb);
  if (cause != nullptr && tb != nullptr) PyException_SetTraceback(cause, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  const std::string msg = std::string("failed to extract field WorkerConfig.") + key;
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  if (cause == nullptr) return;
  PyObject *etype = nullptr, *err = nullptr, *etb = nullptr;
  PyErr_Fetch(&etype, &err, &etb);
  PyErr_NormalizeException(&etype, &err, &etb);
  if (err != nullptr) {
    // As `raise TypeError(...) from cause`: both links, context suppressed.
    Py_INCREF(cause);
    PyException_SetContext(err, cause);  // steals
    PyException_SetCause(err, cause);    // steals
  } else {
    Py_DECREF(cause);
  }
  PyErr_Restore(etype, err, etb);
}

bool read_worker_config(PyObject *item, WorkerConfig *out) {
  for (size_t i = 0; i < kNumFields; ++i) {
    // A failed lookup (the mapping's KeyError, or whatever its __getitem__
    // raises) propagates as it is.
    Ref value(PyObject_GetItem(item, field_keys[i]));
    if (!value) return false;
    if (!kFields[i].read(value.get(), *out)) {
      raise_field_error(kFields[i].key);
      return false;
    }
  }
  return true;
}

bool conv_worker_configs(PyObject *o, std::vector<WorkerConfig> *out) {
  out->clear();
  if (!make_field_keys()) return false;
  Py_ssize_t hint = 0;
  return for_each_item(
      o,
      [&](PyObject *item) {
        if (out->empty() && hint > 0) out->reserve(static_cast<size_t>(hint));
        out->emplace_back();
        return read_worker_config(item, &out->back());
      },
      &hint);
}

// Parses the option strings record by record; the first bad record stops
// the conversion with its ValueError.  A non-positive (or NaN) luby_base is
// refused as well: the Luby schedule would then restart at every step and
// the worker would never reach an answer.
bool to_configs(const std::vector<WorkerConfig> &workers, std::vector<Config> *out) {
  out->clear();
  out->reserve(workers.size());
  for (const WorkerConfig &w : workers) {
    Config cfg = w.cfg;
    const auto restart = parse_restart(w.restart);
    if (!restart) {
      raise_value_error(unknown_restart_message(w.restart));
      return false;
    }
    const auto ccmin = parse_ccmin(w.ccmin);
    if (!ccmin) {
      raise_value_error(unknown_ccmin_message(w.ccmin));
      return false;
    }
    if (!luby_base_ok(cfg.luby_base)) {
      raise_value_error(luby_base_message(cfg.luby_base));
      return false;
    }
    cfg.restart = *restart;
    cfg.ccmin = *ccmin;
    out->push_back(cfg);
  }
  return true;
}

// Releases the interpreter lock for its scope; taken back on every way out,
// exceptions included, before any Python object is touched again.
class NoGil {
 public:
  NoGil() : state_(PyEval_SaveThread()) {}
  ~NoGil() { PyEval_RestoreThread(state_); }
  NoGil(const NoGil &) = delete;
  NoGil &operator=(const NoGil &) = delete;

 private:
  PyThreadState *state_;
};

// [(deletion, [dimacs, ...]), ...]: the step kind as the bool itself.
PyObject *new_flagged_proof_list(const std::vector<ProofStep> &steps) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(steps.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < steps.size(); ++i) {
    const ProofStep &s = steps[i];
    Ref lits(new_dimacs_list(s.lits.data(), s.lits.size()));
    if (!lits) return nullptr;
    PyObject *pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyTuple_SetItem(pair, 0, PyBool_FromLong(s.deletion));
    PyTuple_SetItem(pair, 1, lits.release());
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

// (worker, from_alt, sat, model, conflicts, decisions, propagations,
//  restarts, proof)
PyObject *new_outcome_tuple(const portfolio::Outcome &o) {
  PyObject *items[9] = {
      new_u64(o.worker),
      new_u64(o.from_alt),
      PyBool_FromLong(o.sat),
      new_bool_list(o.model),
      new_u64(o.stats.conflicts),
      new_u64(o.stats.decisions),
      new_u64(o.stats.propagations),
      new_u64(o.stats.restarts),
      new_flagged_proof_list(o.proof),
  };
  bool complete = true;
  for (PyObject *x : items) complete = complete && x != nullptr;
  PyObject *t = complete ? PyTuple_New(9) : nullptr;
  if (t == nullptr) {
    for (PyObject *x : items) Py_XDECREF(x);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < 9; ++i) PyTuple_SetItem(t, i, items[i]);
  return t;
}

}  // namespace

const char doc_solve_portfolio[] =
    "solve_portfolio(nvars, clauses, configs, alt=None, alt_threads=0, want_proof=False)\n--\n\n"
    "Run a threaded portfolio over one formula and return the first answer.\n\n"
    "Releases the GIL for the duration: without that the Python interpreter lock\n"
    "would be held across the whole solve and the threads would serialise, which\n"
    "would make the entire exercise pointless.";

PyObject *fn_solve_portfolio(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return boundary([&]() -> PyObject * {
    PyObject *slots[6];
    if (!bind_fastcall(sig_solve_portfolio, args, nargs, kwnames, slots)) return nullptr;
    uint32_t nvars = 0;
    std::vector<std::vector<Lit>> clauses, alt;
    std::vector<WorkerConfig> workers;
    bool has_alt = false;
    uint64_t alt_threads = 0;
    bool want_proof = false;
    if (!arg(slots[0], "nvars", conv_u32, &nvars) || !arg(slots[1], "clauses", conv_u32_seq_seq, &clauses) ||
        !arg(slots[2], "configs", conv_worker_configs, &workers) ||
        !opt_arg(slots[3], "alt", conv_u32_seq_seq, &alt, &has_alt) ||
        !arg(slots[4], "alt_threads", conv_u64, &alt_threads) ||
        !arg(slots[5], "want_proof", conv_bool, &want_proof))
      return nullptr;
    std::vector<Config> configs;
    if (!to_configs(workers, &configs)) return nullptr;
    workers.clear();
    std::optional<portfolio::Outcome> answer;
    {
      NoGil unlocked;
      answer = portfolio::run(nvars, clauses, has_alt ? &alt : nullptr, alt_threads, configs, want_proof);
    }
    if (!answer) Py_RETURN_NONE;
    return new_outcome_tuple(*answer);
  });
}

}  // namespace qn::py
