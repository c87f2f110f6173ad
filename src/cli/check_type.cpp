// The type ProofCheck of quillon_native_cli._scan: a DRAT check fed with
// the blocks of bytes the readers read, formula first, then proof, each
// step checked as soon as it is read and none of them kept.  The readers
// keep block reading, decompression and every error message: each block
// method returns None, having checked nothing, at anything they would
// refuse, and the readers' own paths then hand the block's steps to
// add_clause and append.
//
//   ProofCheck(check_rat=True, apply_deletions=True)
//   header(nvars, nclauses)          sizes the checker for the formula
//   feed(block, limit, tail)         formula numbers: (clauses, maxvar, tail) | None
//   add_clause(lits)                 one formula clause (internal literals)
//   start()                          the formula is complete
//   text(block, limit, tail)         text proof numbers: the new tail | None
//   binary(block)                    whole binary proof steps: their number | None
//   append((is_deletion, lits))      one proof step
//   result()                         the verdict, check_proof's ten items
//   len(check), failing              steps read; the failing step's literals or None
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "checker/checker.hpp"
#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "cli/tokens.hpp"
#include "pyglue/results.hpp"

namespace qn::cli {

namespace {

namespace ck = qn::checker;

struct Check {
  explicit Check(ck::Options opts) : run(0, opts) {}
  ck::Run run;
  uint64_t steps = 0;           // steps read, checked or not
  std::vector<Lit> failing;     // literals of the failing step
  std::vector<int64_t> codes;   // scratch: one block's codes
  std::vector<Lit> lits;        // scratch: one clause or step
  bool spoiled = false;         // a step with a literal out of range was appended
  bool add(const Lit *l, size_t n) {
    run.add_clause({l, n});
    return true;
  }
};

// One proof step of literal codes [from, to).
void proof_step(Check &c, bool deletion, const int64_t *from, const int64_t *to) {
  c.lits.assign(from, to);
  ++c.steps;
  const bool open = !c.run.decided();
  c.run.step(deletion, c.lits);  // drops repeats from c.lits: the failing step comes from the codes
  if (open && c.run.decided() && c.run.verdict().failing_step > 0) c.failing.assign(from, to);
}

// Checks the whole steps of c.codes with the interpreter unlocked; returns
// where the unfinished rest starts.
size_t check_codes(Check &c) {
  glue::Unlocked unlocked;
  const int64_t *codes = c.codes.data();
  return each_whole(c.codes, [&](size_t from, size_t to) {
    const bool marked = from < to && codes[from] < 0;  // kDel, or kAdd in binary
    proof_step(c, marked && codes[from] == kDel, codes + from + marked, codes + to);
    return true;
  });
}

PyObject *check_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  int check_rat = 1, apply_deletions = 1;
  static const char *kw[] = {"check_rat", "apply_deletions", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|pp:ProofCheck", const_cast<char **>(kw), &check_rat,
                                   &apply_deletions))
    return nullptr;
  return glue::box_alloc(type, new Check({.check_rat = check_rat != 0, .apply_deletions = apply_deletions != 0}));
}

PyObject *check_header(Check &c, PyObject *args) {
  unsigned long long nvars, nclauses;  // nvars: as the header says, unused
  if (!PyArg_ParseTuple(args, "KK:header", &nvars, &nclauses)) return nullptr;
  // A hint: the formula may hold fewer clauses than its header says.  The
  // variables are sized as the clauses name them, never from the header.
  const size_t clauses = static_cast<size_t>(std::min<unsigned long long>(nclauses, 1ull << 22));
  c.run.reserve(0, clauses, 3 * clauses);
  Py_RETURN_NONE;
}

PyObject *check_start(Check &c, PyObject *) {
  {
    glue::Unlocked unlocked;
    c.run.start();
  }
  Py_RETURN_NONE;
}

PyObject *check_text(Check &c, PyObject *args) {
  PyObject *block, *tail;
  long long limit;
  if (!PyArg_ParseTuple(args, "SLO!:text", &block, &limit, &PyList_Type, &tail)) return nullptr;
  TextScan ts{limit, true};
  const int read = text_codes(block, tail, ts, c.codes);
  if (read < 0) return nullptr;
  if (read == 0) Py_RETURN_NONE;
  // The tail keeps its leading kDel, as the Python reader's does.
  return tail_list(c.codes, check_codes(c));
}

PyObject *check_binary(Check &c, PyObject *args) {
  PyObject *block;
  if (!PyArg_ParseTuple(args, "S:binary", &block)) return nullptr;
  const int read = binary_codes(block, c.codes);
  if (read < 0) return nullptr;
  if (read == 0) Py_RETURN_NONE;
  const uint64_t before = c.steps;
  check_codes(c);  // whole steps only: nothing is left over
  return to_py(c.steps - before);
}

PyObject *check_append(Check &c, PyObject *step) {
  if (!PyTuple_Check(step) || PyTuple_Size(step) != 2) {
    PyErr_SetString(PyExc_TypeError, "a proof step must be a tuple (is_deletion, lits)");
    return nullptr;
  }
  const int deletion = PyObject_IsTrue(PyTuple_GetItem(step, 0));
  if (deletion < 0) return nullptr;
  // The readers' slow paths may hand out a step with their own markers in
  // it before they raise their error: it spoils the result, nothing else.
  if (!lits_of(PyTuple_GetItem(step, 1), c.lits)) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
    PyErr_Clear();
    c.spoiled = true;
    Py_RETURN_NONE;
  }
  c.codes.assign(c.lits.begin(), c.lits.end());
  proof_step(c, deletion != 0, c.codes.data(), c.codes.data() + c.codes.size());
  Py_RETURN_NONE;
}

PyObject *check_result(Check &c, PyObject *) {
  if (c.spoiled) {
    PyErr_SetString(PyExc_ValueError, "a proof step held a literal out of range");
    return nullptr;
  }
  return glue::verdict_tuple(c.run.verdict());
}

PyObject *check_failing(Check &c) {
  if (c.run.verdict().failing_step <= 0) Py_RETURN_NONE;
  return glue::new_list(c.failing.size(), [&](size_t i) { return to_py(c.failing[i]); });
}

Py_ssize_t check_len(PyObject *self) {
  Py_ssize_t n = -1;
  glue::with_native<kPolicy, Check, glue::kShared>(self, [&](Check &c) {
    n = static_cast<Py_ssize_t>(c.steps);
    return Py_None;
  });
  return n;
}

PyMethodDef check_methods[] = {
    {"header", method<Check, check_header>, METH_VARARGS, "header(nvars, nclauses)\n--\n\nSize the checker for the formula."},
    QN_CLAUSE_INPUT(Check, "Store"),
    QN_FORMULA_INPUT(Check, "Store"),
    {"start", method<Check, check_start>, METH_NOARGS, "start()\n--\n\nEnd the formula: propagate its units."},
    {"text", method<Check, check_text>, METH_VARARGS,
     "text(block, limit, tail)\n--\n\nCheck the steps of a block of a text DRAT proof; the new tail or None."},
    {"binary", method<Check, check_binary>, METH_VARARGS,
     "binary(block)\n--\n\nCheck a block of whole binary DRAT steps; their number or None."},
    {"append", method<Check, check_append>, METH_O, "append(step)\n--\n\nCheck one step (is_deletion, lits)."},
    {"result", method<Check, check_result>, METH_NOARGS, "result()\n--\n\nThe verdict, as check_proof returns it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef check_getset[] = {
    {"failing", prop<Check, check_failing>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_check_type(PyObject *module) {
  return add_class<Check>(module, kCheckType,
                          {.name = "quillon_native_cli._scan.ProofCheck",
                           .doc = "ProofCheck(check_rat=True, apply_deletions=True)\n--\n\n"
                                  "A DRAT check fed with the blocks the readers read.",
                           .make = make<check_new>, .methods = check_methods, .getset = check_getset,
                           .length = check_len});
}

}  // namespace qn::cli
