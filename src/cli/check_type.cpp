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
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "checker/checker.hpp"
#include "cli/formula_type.hpp"
#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "cli/tokens.hpp"

namespace qn::cli {

PyObject *check_type = nullptr;

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
};

struct CheckObject : NativeObject {
  Check *c;
};

Check &of(PyObject *self) { return *reinterpret_cast<CheckObject *>(self)->c; }

// One proof step of literal codes [from, to).
void proof_step(Check &c, bool deletion, const int64_t *from, const int64_t *to) {
  c.lits.assign(from, to);
  ++c.steps;
  const bool open = !c.run.decided();
  c.run.step(deletion, c.lits);  // drops repeats from c.lits: the failing step comes from the codes
  if (open && c.run.decided() && c.run.verdict().failing_step > 0) c.failing.assign(from, to);
}

// Runs f with the interpreter unlocked; an exception it throws is thrown
// again once the lock is back.
template <class F>
void unlocked(F &&f) {
  std::exception_ptr error;
  Py_BEGIN_ALLOW_THREADS;
  try {
    f();
  } catch (...) {
    error = std::current_exception();
  }
  Py_END_ALLOW_THREADS;
  if (error) std::rethrow_exception(error);
}

// Checks the whole steps of c.codes with the interpreter unlocked; returns
// where the unfinished rest starts.
size_t check_codes(Check &c) {
  size_t from = 0;
  unlocked([&] {
    const int64_t *codes = c.codes.data();
    for (size_t i = 0; i < c.codes.size(); ++i) {
      if (codes[i] != kEnd) continue;
      const bool marked = from < i && codes[from] < 0;  // kDel, or kAdd in binary
      proof_step(c, marked && codes[from] == kDel, codes + from + marked, codes + i);
      from = i + 1;
    }
  });
  return from;
}

PyObject *check_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  int check_rat = 1, apply_deletions = 1;
  static const char *kw[] = {"check_rat", "apply_deletions", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|pp:ProofCheck", const_cast<char **>(kw), &check_rat,
                                   &apply_deletions))
    return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject *self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<CheckObject *>(self)->c = nullptr;
  PyObject *r = boundary([&]() -> PyObject * {
    ck::Options opts;
    opts.check_rat = check_rat != 0;
    opts.apply_deletions = apply_deletions != 0;
    reinterpret_cast<CheckObject *>(self)->c = new Check(opts);
    return self;
  });
  if (r == nullptr) Py_DECREF(self);
  return r;
}

void check_dealloc(PyObject *self) {
  delete reinterpret_cast<CheckObject *>(self)->c;
  dealloc(self);
}

PyObject *check_header(PyObject *self, PyObject *args) {
  unsigned long long nvars, nclauses;  // nvars: as the header says, unused
  if (!PyArg_ParseTuple(args, "KK:header", &nvars, &nclauses)) return nullptr;
  return std::invoke([&]() -> PyObject * {
    // A hint: the formula may hold fewer clauses than its header says.  The
    // variables are sized as the clauses name them, never from the header.
    const size_t clauses = static_cast<size_t>(std::min<unsigned long long>(nclauses, 1ull << 22));
    of(self).run.reserve(0, clauses, 3 * clauses);
    Py_RETURN_NONE;
  });
}

PyObject *check_feed(PyObject *self, PyObject *args) {
  return std::invoke([&] {
    Check &c = of(self);
    return feed_block(args, c.codes, c.lits, [&](const Lit *l, size_t n) {
      c.run.add_clause({l, n});
      return true;
    });
  });
}

PyObject *check_add_clause(PyObject *self, PyObject *clause) {
  return std::invoke([&]() -> PyObject * {
    Check &c = of(self);
    if (!lits_of(clause, c.lits)) return nullptr;
    c.run.add_clause(c.lits);
    Py_RETURN_NONE;
  });
}

// add_formula(formula): every clause of a Formula, sized as header() would.
PyObject *check_add_formula(PyObject *self, PyObject *formula) {
  return std::invoke([&]() -> PyObject * {
    Check &c = of(self);
    return add_formula_clauses(formula, [&](const Lit *lits, size_t n) {
      c.run.add_clause(std::span<const Lit>(lits, n));
      return true;
    });
  });
}

PyObject *check_start(PyObject *self, PyObject *) {
  return std::invoke([&]() -> PyObject * {
    Check &c = of(self);
    unlocked([&] { c.run.start(); });
    Py_RETURN_NONE;
  });
}

PyObject *check_text(PyObject *self, PyObject *args) {
  PyObject *block, *tail;
  long long limit;
  if (!PyArg_ParseTuple(args, "SLO!:text", &block, &limit, &PyList_Type, &tail)) return nullptr;
  return std::invoke([&]() -> PyObject * {
    Check &c = of(self);
    char *data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(block, &data, &size) < 0) return nullptr;
    c.codes.clear();
    if (!tail_codes(tail, c.codes)) return nullptr;
    TextScan ts{limit, true};
    ts.at_start = c.codes.empty();
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    if (!scan_text(ts, p, p + size, c.codes)) Py_RETURN_NONE;
    const size_t from = check_codes(c);
    // The tail keeps its leading kDel, as the Python reader's does.
    return tail_list(c.codes, from);
  });
}

PyObject *check_binary(PyObject *self, PyObject *args) {
  PyObject *block;
  if (!PyArg_ParseTuple(args, "S:binary", &block)) return nullptr;
  return std::invoke([&]() -> PyObject * {
    Check &c = of(self);
    char *data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(block, &data, &size) < 0) return nullptr;
    c.codes.clear();
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    if (!scan_binary(p, p + size, c.codes)) Py_RETURN_NONE;
    const uint64_t before = c.steps;
    check_codes(c);  // whole steps only: nothing is left over
    return PyLong_FromUnsignedLongLong(c.steps - before);
  });
}

PyObject *check_append(PyObject *self, PyObject *step) {
  return std::invoke([&]() -> PyObject * {
    Check &c = of(self);
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
    std::vector<int64_t> &codes = c.codes;
    codes.assign(c.lits.begin(), c.lits.end());
    proof_step(c, deletion != 0, codes.data(), codes.data() + codes.size());
    Py_RETURN_NONE;
  });
}

PyObject *check_result(PyObject *self, PyObject *) {
  if (of(self).spoiled) {
    PyErr_SetString(PyExc_ValueError, "a proof step held a literal out of range");
    return nullptr;
  }
  const ck::Verdict v = of(self).run.verdict();
  return Py_BuildValue("NsKKKKKKLN", PyBool_FromLong(v.ok), v.message, static_cast<unsigned long long>(v.steps),
                       static_cast<unsigned long long>(v.rup), static_cast<unsigned long long>(v.rat),
                       static_cast<unsigned long long>(v.deletions_applied),
                       static_cast<unsigned long long>(v.deletions_skipped),
                       static_cast<unsigned long long>(v.rat_resolvents), static_cast<long long>(v.failing_step),
                       PyBool_FromLong(v.empty_derived));
}

PyObject *check_get_failing(PyObject *self, void *) {
  Check &c = of(self);
  if (c.run.verdict().failing_step <= 0) Py_RETURN_NONE;
  Owned out(PyList_New(static_cast<Py_ssize_t>(c.failing.size())));
  if (out.p == nullptr) return nullptr;
  for (size_t i = 0; i < c.failing.size(); ++i) {
    PyObject *o = PyLong_FromUnsignedLong(c.failing[i]);
    if (o == nullptr) return nullptr;
    if (PyList_SetItem(out.p, static_cast<Py_ssize_t>(i), o) < 0) return nullptr;
  }
  return out.release();
}

Py_ssize_t check_len(PyObject *self) { return static_cast<Py_ssize_t>(of(self).steps); }

PyMethodDef check_methods[] = {
    {"header", method<check_header>, METH_VARARGS, "header(nvars, nclauses)\n--\n\nSize the checker for the formula."},
    {"feed", method<check_feed>, METH_VARARGS,
     "feed(block, limit, tail)\n--\n\nStore the clauses of a block of DIMACS numbers; (clauses, maxvar, tail) or None."},
    {"add_clause", method<check_add_clause>, METH_O, "add_clause(lits)\n--\n\nStore one clause of internal literals."},
    {"add_formula", method<check_add_formula>, METH_O, "add_formula(formula)\n--\n\nStore every clause of a Formula."},
    {"start", method<check_start>, METH_NOARGS, "start()\n--\n\nEnd the formula: propagate its units."},
    {"text", method<check_text>, METH_VARARGS,
     "text(block, limit, tail)\n--\n\nCheck the steps of a block of a text DRAT proof; the new tail or None."},
    {"binary", method<check_binary>, METH_VARARGS,
     "binary(block)\n--\n\nCheck a block of whole binary DRAT steps; their number or None."},
    {"append", method<check_append>, METH_O, "append(step)\n--\n\nCheck one step (is_deletion, lits)."},
    {"result", method<check_result>, METH_NOARGS, "result()\n--\n\nThe verdict, as check_proof returns it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef check_getset[] = {
    {"failing", getter<check_get_failing>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot check_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(make<check_new>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(check_dealloc)},
    {Py_tp_methods, check_methods},
    {Py_tp_getset, check_getset},
    {Py_sq_length, reinterpret_cast<void *>(length<check_len>)},
    {Py_tp_doc, const_cast<char *>("ProofCheck(check_rat=True, apply_deletions=True)\n--\n\n"
                                   "A DRAT check fed with the blocks the readers read.")},
    {0, nullptr},
};

PyType_Spec check_spec = {"quillon_native_cli._scan.ProofCheck", sizeof(CheckObject), 0, Py_TPFLAGS_DEFAULT,
                          check_slots};

}  // namespace

int add_check_type(PyObject *module) { return add_type(module, &check_spec, "ProofCheck", &check_type); }

}  // namespace qn::cli
