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

#include "binding/module.hpp"
#include "portfolio/portfolio.hpp"
#include "pyglue/options.hpp"

namespace qn::py {
namespace {

const Signature sig_solve_portfolio{
    "solve_portfolio()", {"nvars", "clauses", "configs", "alt", "alt_threads", "want_proof"}, 3};

// ---------------------------------------------------------------------------
// Worker configurations.
//
// Each item of `configs` is any object subscriptable by the option names;
// every option key must be present, and they are read in keyword order.
// Unknown option strings are reported only once every argument has been
// read, so that a conversion error anywhere wins over them.

// The key strings, created on first use and kept for the life of the
// process (like the class objects), so that no call builds them again.
PyObject *option_keys[kNumOptions] = {};

bool make_option_keys() {
  if (option_keys[kNumOptions - 1] != nullptr) return true;
  for (size_t i = 0; i < kNumOptions; ++i) {
    if (option_keys[i] != nullptr) continue;
    option_keys[i] = PyUnicode_InternFromString(kOptionNames[i]);
    if (option_keys[i] == nullptr) return false;
  }
  return true;
}

// Replaces the pending conversion error by
// TypeError("failed to extract field WorkerConfig.{key}") raised from it.
void raise_field_error(const char *key) {
  Ref cause = take_error();
  raise_type_error(std::string("failed to extract field WorkerConfig.") + key);
  if (!cause) return;
  Ref error = take_error();
  if (error) {
    // As `raise TypeError(...) from cause`: both links, context suppressed.
    PyException_SetContext(error.get(), Py_NewRef(cause.get()));  // steals
    PyException_SetCause(error.get(), cause.release());           // steals
  }
  restore_error(std::move(error));
}

bool read_worker_config(PyObject *item, OptionValues *out) {
  for (size_t i = 0; i < kNumOptions; ++i) {
    // A failed lookup (the mapping's KeyError, or whatever its __getitem__
    // raises) propagates as it is.
    Ref value(PyObject_GetItem(item, option_keys[i]));
    if (!value) return false;
    if (!read_option(i, value.get(), out)) {
      raise_field_error(kOptionNames[i]);
      return false;
    }
  }
  return true;
}

bool conv_worker_configs(PyObject *o, std::vector<OptionValues> *out) {
  out->clear();
  if (!make_option_keys()) return false;
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

// Validates the records one by one; the first bad record stops the
// conversion with its ValueError.
bool to_configs(const std::vector<OptionValues> &workers, std::vector<Config> *out) {
  out->clear();
  out->reserve(workers.size());
  for (const OptionValues &w : workers) {
    if (!check_options(w)) return false;
    out->push_back(w.cfg);
  }
  return true;
}

// (worker, from_alt, sat, model, conflicts, decisions, propagations,
//  restarts, proof)
PyObject *new_outcome_tuple(const portfolio::Outcome &o) {
  const Stats &st = o.stats;
  return glue::new_tuple(to_py(o.worker), to_py(o.from_alt), to_py(o.sat), new_bool_list(o.model),
                         to_py(st.conflicts), to_py(st.decisions), to_py(st.propagations), to_py(st.restarts),
                         new_proof_list(o.proof, ProofKind::Flag));
}

PyObject *solve_portfolio(PyObject **slots) {
  uint32_t nvars = 0;
  std::vector<std::vector<Lit>> clauses, alt;
  std::vector<OptionValues> workers;
  bool has_alt = false;
  uint64_t alt_threads = 0;
  bool want_proof = false;
  if (!arg(slots[0], "nvars", conv_u32, &nvars) || !arg(slots[1], "clauses", conv_u32_seq_seq, &clauses) ||
      !arg(slots[2], "configs", conv_worker_configs, &workers) ||
      !opt_arg(slots[3], "alt", conv_u32_seq_seq, &alt, &has_alt) ||
      !arg(slots[4], "alt_threads", conv_u64, &alt_threads) || !arg(slots[5], "want_proof", conv_bool, &want_proof))
    return nullptr;
  std::vector<Config> configs;
  if (!to_configs(workers, &configs)) return nullptr;
  workers.clear();
  std::optional<portfolio::Outcome> answer;
  {
    glue::Unlocked unlocked;
    answer = portfolio::run(nvars, clauses, has_alt ? &alt : nullptr, alt_threads, configs, want_proof);
  }
  if (!answer) Py_RETURN_NONE;
  return new_outcome_tuple(*answer);
}

PyMethodDef portfolio_functions[] = {
    {"solve_portfolio", QN_FASTCALL((fast_function<sig_solve_portfolio, solve_portfolio>)),
     "solve_portfolio(nvars, clauses, configs, alt=None, alt_threads=0, want_proof=False)\n--\n\n"
     "Run a threaded portfolio over one formula and return the first answer.\n\n"
     "Releases the GIL for the duration: without that the Python interpreter lock\n"
     "would be held across the whole solve and the threads would serialise, which\n"
     "would make the entire exercise pointless."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_solve_portfolio(PyObject *module) { return PyModule_AddFunctions(module, portfolio_functions); }

}  // namespace qn::py
