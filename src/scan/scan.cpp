// quillon_native_cli._scan: the inner loops of the command-line package's
// DIMACS and DRAT readers (dimacs.py, proofs.py), which keep everything else:
// block reading, decompression, comments and headers, line numbers and every
// error message.
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
#include <new>
#include <vector>

namespace {

constexpr int64_t kEnd = -1;  // token 0: the end of a clause or step
constexpr int64_t kDel = -2;  // token d (text) or byte 'd' (binary): a deletion step
constexpr int64_t kAdd = -3;  // byte 'a' (binary): an addition step
constexpr int64_t kCachedLits = int64_t{1} << 20;  // larger literals get fresh int objects

struct Owned {
  PyObject *p = nullptr;
  explicit Owned(PyObject *o) : p(o) {}
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  ~Owned() { Py_XDECREF(p); }
  PyObject *release() {
    PyObject *r = p;
    p = nullptr;
    return r;
  }
};

// What bytes.split() splits at: space, \t, \n, \v, \f and \r.
inline bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// ---------------------------------------------------------------------------
// Reading codes.  A text token is an optional '-' and ASCII digits (leading
// zeros allowed; "-0" is refused), or in a proof 'd' as the first token of a step.
// A literal's variable must not exceed `limit`.

struct TextScan {
  int64_t limit;
  bool proof;             // 'd' allowed at a step's start
  bool at_start = true;   // the next token starts a step
  int64_t maxvar = 0;
};

// Appends the codes of the token at `p` to `out` and returns its end, or
// nullptr if the token is refused.
const unsigned char *text_token(TextScan &ts, const unsigned char *p, const unsigned char *end,
                                std::vector<int64_t> &out) {
  if (ts.proof && *p == 'd' && (p + 1 == end || is_space(p[1]))) {
    if (!ts.at_start) return nullptr;
    ts.at_start = false;
    out.push_back(kDel);
    return p + 1;
  }
  const bool negative = *p == '-';
  const unsigned char *digits = p + negative;
  int64_t v = 0;
  p = digits;
  for (; p < end && is_digit(*p); ++p) {
    if (v <= ts.limit) v = v * 10 + (*p - '0');
  }
  if (p == digits || (p < end && !is_space(*p)) || v > ts.limit || (negative && v == 0)) return nullptr;
  ts.at_start = v == 0;
  if (v == 0) {
    out.push_back(kEnd);
  } else {
    out.push_back(2 * (v - 1) + negative);
    if (v > ts.maxvar) ts.maxvar = v;
  }
  return p;
}

bool scan_text(TextScan &ts, const unsigned char *p, const unsigned char *end, std::vector<int64_t> &out) {
  while (true) {
    while (p < end && is_space(*p)) ++p;
    if (p == end) return true;
    p = text_token(ts, p, end, out);
    if (p == nullptr) return false;
  }
}

// Binary DRAT: 'a' or 'd', literals as 2*var + negated (7 bits a byte, low
// first, high bit on all but the last byte), then a 0 byte.  A literal reads
// 2 to 2**32-1; high groups of zeros are accepted, as by the Python reader.
const unsigned char *binary_literal(const unsigned char *p, const unsigned char *end, std::vector<int64_t> &out) {
  uint64_t code = 0;
  bool big = false;
  for (unsigned shift = 0;; shift = shift < 64 ? shift + 7 : shift) {
    if (p == end) return nullptr;
    const unsigned char b = *p++;
    const uint64_t bits = b & 127u;
    if (bits != 0 && shift >= 32) big = true;
    if (bits != 0 && shift < 32) code |= bits << shift;
    if (b < 128) break;
  }
  if (big || code < 2 || code >= (uint64_t{1} << 32)) return nullptr;
  out.push_back(static_cast<int64_t>(code) - 2);
  return p;
}

bool scan_binary(const unsigned char *p, const unsigned char *end, std::vector<int64_t> &out) {
  while (p < end) {
    const unsigned char kind = *p++;
    if (kind != 'a' && kind != 'd') return false;
    out.push_back(kind == 'd' ? kDel : kAdd);
    while (true) {
      if (p == end) return false;
      if (*p == 0) break;
      p = binary_literal(p, end, out);
      if (p == nullptr) return false;
    }
    ++p;
    out.push_back(kEnd);
  }
  return true;
}

// Appends the codes of a tail list (ints: literals, or kDel first) to `out`.
bool read_tail(PyObject *tail, std::vector<int64_t> &out) {
  const Py_ssize_t n = PyList_Size(tail);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const long long code = PyLong_AsLongLong(PyList_GetItem(tail, i));
    if (code == -1 && PyErr_Occurred()) return false;
    out.push_back(code);
  }
  return true;
}

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
  if (o == nullptr) return nullptr;
  if (o == Py_None) {
    o = PyLong_FromLongLong(code);
    if (o == nullptr) return nullptr;
    Py_INCREF(o);
    if (PyList_SetItem(cache, static_cast<Py_ssize_t>(code), o) < 0) {
      Py_DECREF(o);
      return nullptr;
    }
    return o;
  }
  Py_INCREF(o);
  return o;
}

// A new list of the literals codes[from, to).  A list of ints, and a step
// (a bool and such a list), is in no reference cycle, so neither is tracked
// by the cyclic garbage collector (were someone to put one in a cycle later,
// that cycle would leak, nothing worse): tracked, each collection while a
// proof is read walks every step read so far, two thirds of the reading time.
PyObject *lit_list(PyObject *cache, const std::vector<int64_t> &codes, size_t from, size_t to) {
  Owned list(PyList_New(static_cast<Py_ssize_t>(to - from)));
  if (list.p == nullptr) return nullptr;
  PyObject_GC_UnTrack(list.p);
  for (size_t i = from; i < to; ++i) {
    PyObject *o = lit_object(cache, codes[i]);
    if (o == nullptr || PyList_SetItem(list.p, static_cast<Py_ssize_t>(i - from), o) < 0) return nullptr;
  }
  return list.release();
}

// Appends (is_deletion, literals) of codes[from, to), a step without its end.
int append_step(PyObject *steps, PyObject *cache, const std::vector<int64_t> &codes, size_t from, size_t to) {
  const bool deletion = from < to && codes[from] == kDel;
  if (from < to && codes[from] < 0) ++from;
  Owned lits(lit_list(cache, codes, from, to));
  if (lits.p == nullptr) return -1;
  Owned step(PyTuple_New(2));
  if (step.p == nullptr) return -1;
  PyTuple_SetItem(step.p, 0, Py_NewRef(deletion ? Py_True : Py_False));
  PyTuple_SetItem(step.p, 1, lits.release());
  PyObject_GC_UnTrack(step.p);
  return PyList_Append(steps, step.p);
}

// The codes of `tail` (an unfinished clause or step) and then of `block`:
// 1 when read, 0 when the block is refused, -1 on a Python error.
int text_codes(PyObject *block, PyObject *tail, TextScan &ts, std::vector<int64_t> &codes) {
  char *data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(block, &data, &size) < 0) return -1;
  codes.reserve(static_cast<size_t>(size / 2 + 1) + static_cast<size_t>(PyList_Size(tail)));
  if (!read_tail(tail, codes)) return -1;
  ts.at_start = codes.empty();
  const auto *p = reinterpret_cast<const unsigned char *>(data);
  return scan_text(ts, p, p + size, codes) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// The functions.

PyObject *cnf_numbers(PyObject *, PyObject *args) {
  PyObject *block, *sink, *tail, *cache;
  long long limit;
  if (!PyArg_ParseTuple(args, "SLOO!O:cnf_numbers", &block, &limit, &sink, &PyList_Type, &tail, &cache)) {
    return nullptr;
  }
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
  size_t from = 0;
  for (size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] != kEnd) continue;
    Owned clause(lit_list(cache, codes, from, i));
    if (clause.p == nullptr) return nullptr;
    Owned r(PyObject_CallFunctionObjArgs(sink, clause.p, nullptr));
    if (r.p == nullptr) return nullptr;
    ++clauses;
    from = i + 1;
  }
  Owned rest(lit_list(cache, codes, from, codes.size()));
  if (rest.p == nullptr) return nullptr;
  return Py_BuildValue("LLN", clauses, static_cast<long long>(ts.maxvar), rest.release());
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
  size_t from = 0;
  for (size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] != kEnd) continue;
    if (append_step(steps, cache, codes, from, i) < 0) return nullptr;
    from = i + 1;
  }
  // The tail keeps its leading kDel: the Python reader's tail does the same.
  Owned rest(PyList_New(static_cast<Py_ssize_t>(codes.size() - from)));
  if (rest.p == nullptr) return nullptr;
  for (size_t i = from; i < codes.size(); ++i) {
    PyObject *o = codes[i] == kDel ? PyLong_FromLongLong(kDel) : lit_object(cache, codes[i]);
    if (o == nullptr || PyList_SetItem(rest.p, static_cast<Py_ssize_t>(i - from), o) < 0) return nullptr;
  }
  return rest.release();
}

PyObject *drat_binary(PyObject *, PyObject *args) {
  PyObject *block, *steps, *cache;
  if (!PyArg_ParseTuple(args, "SO!O!:drat_binary", &block, &PyList_Type, &steps, &PyList_Type, &cache)) return nullptr;
  char *data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(block, &data, &size) < 0) return nullptr;
  std::vector<int64_t> codes;
  codes.reserve(static_cast<size_t>(size + 1));
  const auto *p = reinterpret_cast<const unsigned char *>(data);
  if (!scan_binary(p, p + size, codes)) Py_RETURN_NONE;
  long long n = 0;
  size_t from = 0;
  for (size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] != kEnd) continue;
    if (append_step(steps, cache, codes, from, i) < 0) return nullptr;
    ++n;
    from = i + 1;
  }
  return PyLong_FromLongLong(n);
}

// C++ exceptions (only std::bad_alloc from the scratch vector) never cross
// into the interpreter.
template <PyObject *(*F)(PyObject *, PyObject *)>
PyObject *guarded(PyObject *self, PyObject *args) {
  try {
    return F(self, args);
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
}

PyMethodDef scan_functions[] = {
    {"cnf_numbers", guarded<cnf_numbers>, METH_VARARGS,
     "cnf_numbers(block, limit, sink, tail, lits)\n--\n\n"
     "Feed the clauses of a block of DIMACS numbers to sink; (clauses, maxvar, tail) or None."},
    {"drat_text", guarded<drat_text>, METH_VARARGS,
     "drat_text(block, limit, steps, tail, lits)\n--\n\n"
     "Append the steps of a block of a text DRAT proof to steps; the new tail or None."},
    {"drat_binary", guarded<drat_binary>, METH_VARARGS,
     "drat_binary(block, steps, lits)\n--\n\n"
     "Append the steps of a block of whole binary DRAT steps to steps; their number or None."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_scan(PyObject *module) {
  if (PyModule_AddFunctions(module, scan_functions) < 0) return -1;
  return 0;
}

PyModuleDef_Slot scan_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_scan)},
    {0, nullptr},
};

PyModuleDef scan_module = {
    PyModuleDef_HEAD_INIT,
    "quillon_native_cli._scan",  // m_name
    "Native inner loops of the DIMACS and DRAT readers.",
    0,        // m_size
    nullptr,  // m_methods: added by the exec slot
    scan_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__scan(void) { return PyModuleDef_Init(&scan_module); }
