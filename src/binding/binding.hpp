// The binding layer's shared machinery: argument binding, the converters
// with their exact error texts, the per-instance access guard, the object
// box for native state, and the call boundary that turns C++ failures into
// Python exceptions.  Every function and class of the module goes through
// these; no other file writes a conversion rule or an error text twice.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/lit.hpp"
#include "core/panic.hpp"

namespace qn::py {

// ---------------------------------------------------------------------------
// References.

// Owns one strong reference; moves allowed, copies not.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject *p) : p_(p) {}  // steals
  Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref &operator=(Ref &&o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject *get() const { return p_; }
  PyObject *release() {
    PyObject *r = p_;
    p_ = nullptr;
    return r;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject *p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Argument binding.
//
// A Signature names a callable for error messages ("neg()", "Solver.solve()",
// "Solver.__new__()") and lists its parameters; the first `required` have no
// default.  Binding fills one borrowed slot per parameter, nullptr where the
// caller left it out.

struct Signature {
  const char *display;                 // "{f}" of the binding messages
  std::vector<const char *> names;     // parameter names, in order
  size_t required;                     // leading parameters without default
};

// METH_FASTCALL | METH_KEYWORDS arguments.
bool bind_fastcall(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **slots);
// tp_new's positional tuple and keyword dict.
bool bind_tuple(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **slots);

// ---------------------------------------------------------------------------
// Converters.  Each returns false with a Python exception set.  The `arg`
// wrapper below adds the "while processing '{name}'" note.

bool conv_u32(PyObject *o, uint32_t *out);
bool conv_i32(PyObject *o, int32_t *out);
bool conv_u64(PyObject *o, uint64_t *out);
bool conv_f64(PyObject *o, double *out);
bool conv_bool(PyObject *o, bool *out);
bool conv_text(PyObject *o, std::string *out);
// A DIMACS literal: false with ValueError for 0, which terminates a clause.
bool check_dimacs(int32_t d);
// Sequence (not str) of unsigned 32-bit ints, items taken by iteration.
bool conv_u32_seq(PyObject *o, std::vector<uint32_t> *out);
bool conv_bool_seq(PyObject *o, std::vector<bool> *out);
// Sequence of sequences of unsigned 32-bit ints.
bool conv_u32_seq_seq(PyObject *o, std::vector<std::vector<uint32_t>> *out);

// Visits the items of a sequence argument (str refused, non-sequences
// refused with the type-mismatch message); `fn(item)` returns false with an
// exception set to stop.  `hint` receives the length of an exact list or
// tuple (0 for other sequences, whose __len__ is not to be trusted).
template <class F>
bool for_each_item(PyObject *o, F &&fn, Py_ssize_t *hint = nullptr);
bool check_sequence(PyObject *o);  // the str / Sequence test alone

// Attaches "while processing '{name}'" to the pending exception.
void add_note_processing(const char *name);
// Attaches an arbitrary note to the pending exception.
void add_note(const char *note);

// Converts slot `o` with `conv` unless it is absent (then keeps *out).
template <class T>
bool arg(PyObject *o, const char *name, bool (*conv)(PyObject *, T *), T *out) {
  if (o == nullptr) return true;
  if (conv(o, out)) return true;
  add_note_processing(name);
  return false;
}
// Optional parameter: None and omission both mean absent.
template <class T>
bool opt_arg(PyObject *o, const char *name, bool (*conv)(PyObject *, T *), T *out, bool *present) {
  *present = false;
  if (o == nullptr || o == Py_None) return true;
  *present = true;
  return arg(o, name, conv, out);
}

// The "'{type}' object is not an instance of '{target}'" TypeError (with the
// None spelling), shared by every type-mismatch conversion.
void raise_type_mismatch(PyObject *o, const char *target);

// ---------------------------------------------------------------------------
// Results.

PyObject *new_bool_list(const std::vector<bool> &v);
PyObject *new_u32_list(const uint32_t *p, size_t n);
PyObject *new_dimacs_list(const Lit *p, size_t n);
// [(kind, dimacs)]: the step kind as "a"/"d" (the form proof_steps()
// returns) or as the deletion flag itself (solve_portfolio's form).
enum class ProofKind { Letter, Flag };
PyObject *new_proof_list(const std::vector<ProofStep> &steps, ProofKind kind);
inline PyObject *new_u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// ---------------------------------------------------------------------------
// Errors.

// The process-wide PanicException type (created on first use; derives from
// BaseException so that `except Exception` does not swallow it).
PyObject *panic_type();
// Writes the failure to stderr and raises PanicException(msg).
void raise_panic(const char *msg, const char *file, int line);
inline void raise_value_error(const std::string &msg) { PyErr_SetString(PyExc_ValueError, msg.c_str()); }

// Runs `body` (returning a new reference or nullptr with an exception set)
// and converts anything C++ throws: Panic and other exceptions become
// PanicException, std::bad_alloc becomes MemoryError.
template <class F>
PyObject *boundary(F &&body) noexcept {
  try {
    return body();
  } catch (const Panic &p) {
    raise_panic(p.what(), p.file(), p.line());
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::exception &e) {
    raise_panic(e.what(), __FILE__, __LINE__);
  } catch (...) {
    raise_panic("unknown internal failure", __FILE__, __LINE__);
  }
  return nullptr;
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

// ---------------------------------------------------------------------------
// Instances: a Python object that owns one native value, with the access
// counter (0 free, >0 readers, -1 one writer).

template <class T>
struct Box {
  PyObject_HEAD
  std::atomic<intptr_t> borrow;
  T *native;
};

class Exclusive {
 public:
  explicit Exclusive(std::atomic<intptr_t> &c) : c_(c) {
    intptr_t expected = 0;
    ok_ = c_.compare_exchange_strong(expected, -1);
    if (!ok_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~Exclusive() {
    if (ok_) c_.store(0);
  }
  explicit operator bool() const { return ok_; }
  Exclusive(const Exclusive &) = delete;
  Exclusive &operator=(const Exclusive &) = delete;

 private:
  std::atomic<intptr_t> &c_;
  bool ok_;
};

class Shared {
 public:
  explicit Shared(std::atomic<intptr_t> &c) : c_(c) {
    intptr_t cur = c_.load();
    for (;;) {
      if (cur == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        ok_ = false;
        return;
      }
      if (c_.compare_exchange_weak(cur, cur + 1)) break;
    }
    ok_ = true;
  }
  ~Shared() {
    if (ok_) c_.fetch_sub(1);
  }
  explicit operator bool() const { return ok_; }
  Shared(const Shared &) = delete;
  Shared &operator=(const Shared &) = delete;

 private:
  std::atomic<intptr_t> &c_;
  bool ok_;
};

// Creates the heap type from `spec` once per process (later module
// executions reuse it) and adds it to `module` under `name`; 0 or -1 with an
// exception set.
int add_type_once(PyObject *module, PyObject **holder, PyType_Spec *spec, const char *name);

// Generic tp_new / tp_dealloc / GC handlers for Box<T>.
template <class T>
PyObject *box_alloc(PyTypeObject *type, T *native) {
  // Takes ownership of `native` (deleted on failure).
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject *self = alloc(type, 0);
  if (self == nullptr) {
    delete native;
    return nullptr;
  }
  auto *b = reinterpret_cast<Box<T> *>(self);
  new (&b->borrow) std::atomic<intptr_t>(0);
  b->native = native;
  return self;
}

template <class T>
void box_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto *b = reinterpret_cast<Box<T> *>(self);
  delete b->native;
  b->native = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

int box_traverse(PyObject *self, visitproc visit, void *arg);
int box_clear(PyObject *self);

template <class T>
T &native(PyObject *self) {
  return *reinterpret_cast<Box<T> *>(self)->native;
}
template <class T>
std::atomic<intptr_t> &borrow_of(PyObject *self) {
  return reinterpret_cast<Box<T> *>(self)->borrow;
}

// Casts for method tables.
template <class F>
PyCFunction as_cfunc(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// ---------------------------------------------------------------------------
// for_each_item, defined here because it is a template.

bool is_sequence_abc(PyObject *o);  // registered collections.abc.Sequence

template <class F>
bool for_each_item(PyObject *o, F &&fn, Py_ssize_t *hint) {
  if (!check_sequence(o)) return false;
  if (PyList_CheckExact(o)) {
    // Lists iterate by index; re-reading the size each step matches the
    // list iterator when an item's conversion mutates the list.
    if (hint) *hint = PyList_Size(o);
    for (Py_ssize_t i = 0; i < PyList_Size(o); ++i) {
      PyObject *item = PyList_GetItem(o, i);  // borrowed
      Py_INCREF(item);
      Ref hold(item);
      if (!fn(item)) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(o)) {
    const Py_ssize_t n = PyTuple_Size(o);
    if (hint) *hint = n;
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!fn(PyTuple_GetItem(o, i))) return false;  // tuple keeps it alive
    }
    return true;
  }
  // Any other sequence reports whatever length it likes (and computing it
  // may run Python code): no hint, so nothing is reserved on its word.
  if (hint) *hint = 0;
  Ref it(PyObject_GetIter(o));
  if (!it) return false;
  for (;;) {
    Ref item(PyIter_Next(it.get()));
    if (!item) return !PyErr_Occurred();
    if (!fn(item.get())) return false;
  }
}

}  // namespace qn::py
