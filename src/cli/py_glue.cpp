// The shared pieces of the command line module's glue (py_glue.hpp).
#include "cli/py_glue.hpp"

#include <algorithm>

#include "cli/formula_type.hpp"

namespace qn::cli {

int text_codes(PyObject *block, PyObject *tail, TextScan &ts, std::vector<int64_t> &codes) {
  char *data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(block, &data, &size) < 0) return -1;
  codes.clear();
  codes.reserve(static_cast<size_t>(size / 2 + 1) + static_cast<size_t>(PyList_Size(tail)));
  for (Py_ssize_t i = 0; i < PyList_Size(tail); ++i) {
    const long long code = PyLong_AsLongLong(PyList_GetItem(tail, i));
    if (code == -1 && PyErr_Occurred()) return -1;
    codes.push_back(code);
  }
  ts.at_start = codes.empty();
  const auto *p = reinterpret_cast<const unsigned char *>(data);
  return scan_text(ts, p, p + size, codes) ? 1 : 0;
}

int binary_codes(PyObject *block, std::vector<int64_t> &codes) {
  char *data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(block, &data, &size) < 0) return -1;
  codes.clear();
  codes.reserve(static_cast<size_t>(size + 1));
  const auto *p = reinterpret_cast<const unsigned char *>(data);
  return scan_binary(p, p + size, codes) ? 1 : 0;
}

PyObject *tail_list(const std::vector<int64_t> &codes, size_t from) {
  return glue::new_list(codes.size() - from, [&](size_t i) { return to_py(codes[from + i]); });
}

// The internal literals of a sequence of ints.
bool lits_of(PyObject *seq, std::vector<Lit> &out) {
  Ref fast(PySequence_Fast(seq, "a clause must be a sequence of literals"));
  if (!fast) return false;
  const Py_ssize_t n = PySequence_Size(fast.get());
  out.clear();
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item(PySequence_GetItem(fast.get(), i));
    if (!item) return false;
    const unsigned long v = PyLong_AsUnsignedLong(item.get());
    if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    if (v > UINT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, "literal out of range");
      return false;
    }
    out.push_back(static_cast<Lit>(v));
  }
  return true;
}

int64_t dimacs_lits(PyObject *seq, std::vector<Lit> &out) {
  constexpr long long kMaxVar = (1LL << 31) - 2;
  const bool list = PyList_CheckExact(seq);
  if (!list && !PyTuple_CheckExact(seq)) return -1;
  const Py_ssize_t n = list ? PyList_Size(seq) : PyTuple_Size(seq);
  out.resize(static_cast<size_t>(n));
  long long top = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject *item = list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
    if (!PyLong_CheckExact(item)) return -1;
    int overflow = 0;
    const long long d = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0 || d == 0 || d > kMaxVar || d < -kMaxVar) return -1;
    top = std::max(top, d > 0 ? d : -d);
    out[static_cast<size_t>(i)] = from_dimacs(static_cast<int32_t>(d));
  }
  return top;
}

void raise_failure(const char *what, const char *, int) { PyErr_SetString(PyExc_RuntimeError, what); }

void refuse_busy(PyObject *self, bool) {
  Ref name(PyType_GetName(Py_TYPE(self)));
  if (name) PyErr_Format(PyExc_RuntimeError, "%U is in use by another thread", name.get());
}

const Formula *formula_of(PyObject *o) {
  const FormulaState *f = glue::native_of<FormulaState>(o);
  if (f == nullptr) PyErr_SetString(PyExc_TypeError, "add_formula takes a Formula");
  return f == nullptr ? nullptr : &f->f;
}

}  // namespace qn::cli
