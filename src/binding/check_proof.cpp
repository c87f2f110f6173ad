// check_proof(nvars, clauses, steps, check_rat=True, apply_deletions=True)
//   -> (ok, message, steps, rup, rat, deletions_applied, deletions_skipped,
//       rat_resolvents, failing_step, empty_derived)
//
// Converts everything into flat native arrays first, then runs the checker
// with the interpreter lock released.  Proofs run to millions of steps, so
// exact ints are read directly; anything else falls back to the shared
// converters, which own the error texts.
#include "binding/module.hpp"
#include "checker/checker.hpp"
#include "pyglue/results.hpp"

namespace qn::py {

namespace {

namespace ck = qn::checker;

const Signature sig_check_proof{"check_proof()", {"nvars", "clauses", "steps", "check_rat", "apply_deletions"}, 3};

// Appends the unsigned 32-bit ints of sequence `o` to `out`, with the rules
// and errors of conv_u32_seq.  Exact ints are read directly; anything else
// goes through conv_u32, which raises what is wrong.
bool append_lits(PyObject *o, std::vector<uint32_t> &out) {
  return for_each_item(o, [&out](PyObject *item) {
    if (PyLong_CheckExact(item)) {
      const long v = PyLong_AsLong(item);
      if (v >= 0 && v <= 0xFFFFFFFFl) {
        out.push_back(static_cast<uint32_t>(v));
        return true;
      }
      PyErr_Clear();
    }
    uint32_t v;
    if (!conv_u32(item, &v)) return false;
    out.push_back(v);
    return true;
  });
}

bool conv_clause_list(PyObject *o, ck::ClauseList *out) {
  if (PyList_CheckExact(o)) out->starts.reserve(static_cast<size_t>(PyList_Size(o)) + 1);
  return for_each_item(o, [&](PyObject *item) {
    if (!append_lits(item, out->lits)) return false;
    out->close();
    return true;
  });
}

// One proof step: a tuple (is_deletion, lits).
bool append_step(PyObject *item, ck::Proof *out) {
  if (!PyTuple_Check(item)) {
    raise_type_mismatch(item, "tuple");
    return false;
  }
  const Py_ssize_t n = PyTuple_Size(item);
  if (n != 2) {
    PyErr_Format(PyExc_TypeError, "a proof step must be a tuple (is_deletion, lits) of 2 items, got a tuple of %zd", n);
    return false;
  }
  bool deletion;
  if (!conv_bool(PyTuple_GetItem(item, 0), &deletion)) return false;
  if (!append_lits(PyTuple_GetItem(item, 1), out->clauses.lits)) return false;
  out->clauses.close();
  out->deletion.push_back(deletion ? 1 : 0);
  return true;
}

bool conv_steps(PyObject *o, ck::Proof *out) {
  if (PyList_CheckExact(o)) {
    const size_t n = static_cast<size_t>(PyList_Size(o));
    out->deletion.reserve(n);
    out->clauses.starts.reserve(n + 1);
  }
  return for_each_item(o, [&](PyObject *item) { return append_step(item, out); });
}

PyObject *check_proof(PyObject **slots) {
  uint32_t nvars = 0;
  ck::ClauseList clauses;
  ck::Proof steps;
  ck::Options opts;
  if (!arg(slots[0], "nvars", conv_u32, &nvars) || !arg(slots[1], "clauses", conv_clause_list, &clauses) ||
      !arg(slots[2], "steps", conv_steps, &steps) || !arg(slots[3], "check_rat", conv_bool, &opts.check_rat) ||
      !arg(slots[4], "apply_deletions", conv_bool, &opts.apply_deletions))
    return nullptr;
  ck::Verdict verdict;
  {
    glue::Unlocked unlocked;
    verdict = ck::check_proof(nvars, clauses, steps, opts);
  }
  return glue::verdict_tuple(verdict);
}

PyMethodDef check_functions[] = {
    {"check_proof", QN_FASTCALL((fast_function<sig_check_proof, check_proof>)),
     "check_proof(nvars, clauses, steps, check_rat=True, apply_deletions=True)\n--\n\n"
     "Check a DRAT proof against a formula.\n\n"
     "Returns the same shape `quillon.proof.CheckResult` carries, so the Python\n"
     "wrapper can present one interface over either implementation."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_check_proof(PyObject *module) { return PyModule_AddFunctions(module, check_functions); }

}  // namespace qn::py
