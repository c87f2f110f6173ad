// The inner loops of the command-line package's DIMACS and DRAT readers
// (dimacs.py, proofs.py): the CPython glue around tokens.hpp.  The readers
// keep everything else: block reading, decompression, comments and headers,
// line numbers and every error message.
//
//   cnf_numbers(block, limit, sink, tail, lits) -> (clauses, maxvar, tail) | None
//   drat_text(block, limit, steps, tail, lits) -> tail | None
//   drat_binary(block, steps, lits) -> steps read | None
//
// Each call first reads the whole block into a scratch vector of codes and
// returns None, having touched nothing, at anything the Python reader would
// refuse; the Python code then reads that block itself and raises its exact
// error.  Otherwise it hands out Python objects: each clause as a list of
// internal literals to `sink` (the unfinished clause `tail` of the previous
// block in front of the first), each proof step as (is_deletion, literals)
// appended to `steps`, and the unfinished rest as the new tail.  `lits` (a
// list, or None for no cache) keeps one int object per internal literal, None
// until first use, so that stored clauses share them.
#include <Python.h>

#include <cstdint>
#include <vector>

#include "cli/module.hpp"
#include "cli/py_glue.hpp"
#include "cli/tokens.hpp"

namespace qn::cli {
namespace {

constexpr int64_t kCachedLits = int64_t{1} << 20;  // larger literals get fresh int objects

// ---------------------------------------------------------------------------
// Handing out objects.

// A new reference to the int object of literal `code`, from the cache when
// there is one and the literal is not too large for it.
PyObject *lit_object(PyObject *cache, int64_t code) {
  if (cache == Py_None || code >= kCachedLits) return PyLong_FromLongLong(code);
  for (Py_ssize_t n = PyList_Size(cache); n <= code; ++n) {
    if (PyList_Append(cache, Py_None) < 0) return nullptr;
  }
  PyObject *o = PyList_GetItem(cache, static_cast<Py_ssize_t>(code));
  if (o != Py_None) return Py_XNewRef(o);  // nullptr: the error is set
  o = PyLong_FromLongLong(code);
  if (o != nullptr) PyList_SetItem(cache, static_cast<Py_ssize_t>(code), Py_NewRef(o));  // within the list
  return o;
}

// A new list of the literals codes[from, to).  A list of ints, and a step
// (a bool and such a list), is in no reference cycle, so neither is tracked
// by the cyclic garbage collector (were someone to put one in a cycle later,
// that cycle would leak, nothing worse): tracked, each collection while a
// proof is read walks every step read so far, two thirds of the reading time.
PyObject *lit_list(PyObject *cache, const std::vector<int64_t> &codes, size_t from, size_t to) {
  PyObject *list = glue::new_list(to - from, [&](size_t i) { return lit_object(cache, codes[from + i]); });
  if (list != nullptr) PyObject_GC_UnTrack(list);
  return list;
}

// Appends (is_deletion, literals) of codes[from, to), a step without its
// end; false with the error set.
bool append_step(PyObject *steps, PyObject *cache, const std::vector<int64_t> &codes, size_t from, size_t to) {
  const bool deletion = from < to && codes[from] == kDel;
  if (from < to && codes[from] < 0) ++from;
  Ref step(glue::new_tuple(to_py(deletion), lit_list(cache, codes, from, to)));
  if (!step) return false;
  PyObject_GC_UnTrack(step.get());
  return PyList_Append(steps, step.get()) == 0;
}

// ---------------------------------------------------------------------------
// The functions.

PyObject *cnf_numbers(PyObject *, PyObject *args) {
  PyObject *block, *sink, *tail, *cache;
  long long limit;
  if (!PyArg_ParseTuple(args, "SLOO!O:cnf_numbers", &block, &limit, &sink, &PyList_Type, &tail, &cache)) return nullptr;
  if (cache != Py_None && !PyList_Check(cache)) {
    PyErr_SetString(PyExc_TypeError, "lits must be a list or None");
    return nullptr;
  }
  std::vector<int64_t> codes;
  TextScan ts{limit, false};
  const int read = text_codes(block, tail, ts, codes);
  if (read < 0) return nullptr;
  if (read == 0) Py_RETURN_NONE;
  long long clauses = 0;
  const size_t rest = each_whole(codes, [&](size_t from, size_t to) {
    ++clauses;
    Ref clause(lit_list(cache, codes, from, to));
    return clause && Ref(PyObject_CallFunctionObjArgs(sink, clause.get(), nullptr));
  });
  if (rest == kStopped) return nullptr;
  return Py_BuildValue("LLN", clauses, static_cast<long long>(ts.maxvar), lit_list(cache, codes, rest, codes.size()));
}

PyObject *drat_text(PyObject *, PyObject *args) {
  PyObject *block, *steps, *tail, *cache;
  long long limit;
  if (!PyArg_ParseTuple(args, "SLO!O!O!:drat_text", &block, &limit, &PyList_Type, &steps, &PyList_Type, &tail,
                        &PyList_Type, &cache)) {
    return nullptr;
  }
  std::vector<int64_t> codes;
  TextScan ts{limit, true};
  const int read = text_codes(block, tail, ts, codes);
  if (read < 0) return nullptr;
  if (read == 0) Py_RETURN_NONE;
  const size_t rest =
      each_whole(codes, [&](size_t from, size_t to) { return append_step(steps, cache, codes, from, to); });
  if (rest == kStopped) return nullptr;
  // The tail keeps its leading kDel: the Python reader's tail does the same.
  return glue::new_list(codes.size() - rest, [&](size_t i) {
    const int64_t code = codes[rest + i];
    return code == kDel ? to_py(code) : lit_object(cache, code);
  });
}

PyObject *drat_binary(PyObject *, PyObject *args) {
  PyObject *block, *steps, *cache;
  if (!PyArg_ParseTuple(args, "SO!O!:drat_binary", &block, &PyList_Type, &steps, &PyList_Type, &cache)) return nullptr;
  std::vector<int64_t> codes;
  const int read = binary_codes(block, codes);
  if (read < 0) return nullptr;
  if (read == 0) Py_RETURN_NONE;
  long long n = 0;
  const size_t rest = each_whole(codes, [&](size_t from, size_t to) {
    ++n;
    return append_step(steps, cache, codes, from, to);
  });
  return rest == kStopped ? nullptr : PyLong_FromLongLong(n);
}

PyMethodDef scan_functions[] = {
    {"cnf_numbers", entry<cnf_numbers>, METH_VARARGS,
     "cnf_numbers(block, limit, sink, tail, lits)\n--\n\n"
     "Feed the clauses of a block of DIMACS numbers to sink; (clauses, maxvar, tail) or None."},
    {"drat_text", entry<drat_text>, METH_VARARGS,
     "drat_text(block, limit, steps, tail, lits)\n--\n\n"
     "Append the steps of a block of a text DRAT proof to steps; the new tail or None."},
    {"drat_binary", entry<drat_binary>, METH_VARARGS,
     "drat_binary(block, steps, lits)\n--\n\n"
     "Append the steps of a block of whole binary DRAT steps to steps; their number or None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_scan_functions(PyObject *module) { return PyModule_AddFunctions(module, scan_functions); }

}  // namespace qn::cli
