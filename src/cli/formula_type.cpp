// Formula(nvars=0): feed(block, limit, tail), add_clause(lits) and
// add_dimacs(clause) keep clauses; nvars (settable) and nclauses.
#include "cli/formula_type.hpp"

#include <map>
#include <unordered_map>
#include <vector>

#include "cli/module.hpp"
#include "cli/py_glue.hpp"

namespace qn::cli {

PyObject *formula_type = nullptr;

namespace {

PyObject *formula_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  uint32_t nvars = 0;
  static const char *kw[] = {"nvars", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|I:Formula", const_cast<char **>(kw), &nvars)) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject *self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  FormulaObject *o = as_formula(self);
  o->f = nullptr;
  o->codes = nullptr;
  o->lits = nullptr;
  o->nvars = nvars;
  PyObject *r = boundary([&]() -> PyObject * {
    o->f = new Formula();
    o->codes = new std::vector<int64_t>();
    o->lits = new std::vector<Lit>();
    return self;
  });
  if (r == nullptr) Py_DECREF(self);
  return r;
}

void formula_dealloc(PyObject *self) {
  FormulaObject *o = as_formula(self);
  delete o->f;
  delete o->codes;
  delete o->lits;
  dealloc(self);
}

PyObject *formula_feed(PyObject *self, PyObject *args) {
  FormulaObject *o = as_formula(self);
  return feed_block(args, *o->codes, *o->lits, [&](const Lit *l, size_t n) {
    o->f->add(l, n);
    return true;
  });
}

PyObject *formula_add_clause(PyObject *self, PyObject *clause) {
  FormulaObject *o = as_formula(self);
  if (!lits_of(clause, *o->lits)) return nullptr;
  o->f->add(o->lits->data(), o->lits->size());
  Py_RETURN_NONE;
}

// add_dimacs(clause): keeps a list or tuple of plain DIMACS literals and
// returns its largest variable; -1, keeping nothing, for anything else.
PyObject *formula_add_dimacs(PyObject *self, PyObject *clause) {
  FormulaObject *o = as_formula(self);
  const int64_t top = dimacs_lits(clause, *o->lits);
  if (top >= 0) o->f->add(o->lits->data(), o->lits->size());
  return PyLong_FromLongLong(top);
}

// falsified(model) -> the index of the first clause that the model (bytes,
// a 0/1 byte per variable) leaves without a true literal, or None.
PyObject *formula_falsified(PyObject *self, PyObject *model) {
  char *data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(model, &data, &size) < 0) return nullptr;
  const Formula &f = *as_formula(self)->f;
  for (size_t i = 0; i < f.size(); ++i) {
    const Lit *c = f.clause(i);
    bool sat = false;
    for (size_t k = 0; k < f.clause_len(i) && !sat; ++k) {
      const Var v = var_of(c[k]);
      sat = v < static_cast<size_t>(size) && (data[v] != 0) != is_neg(c[k]);
    }
    if (!sat) return PyLong_FromSize_t(i);
  }
  Py_RETURN_NONE;
}

PyObject *formula_get_nclauses(PyObject *self, void *) { return PyLong_FromSize_t(as_formula(self)->f->size()); }
PyObject *formula_get_nvars(PyObject *self, void *) { return PyLong_FromUnsignedLong(as_formula(self)->nvars); }
int formula_set_nvars(PyObject *self, PyObject *value, void *) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "nvars cannot be deleted");
    return -1;
  }
  const unsigned long v = PyLong_AsUnsignedLong(value);
  if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
  as_formula(self)->nvars = static_cast<uint32_t>(v);
  return 0;
}

// Clauses counted by length: the common short lengths in an array, the
// rare long ones in a map.
class LengthCounts {
 public:
  void add(size_t len) {
    if (len < kShort) {
      ++short_[len];
    } else {
      ++long_[len];
    }
  }

  // {clause length: clauses} of the lengths counted.
  PyObject *dict() const {
    Owned d(PyDict_New());
    if (d.p == nullptr) return nullptr;
    for (size_t len = 0; len < kShort; ++len) {
      if (short_[len] != 0 && !put(d.p, len, short_[len])) return nullptr;
    }
    for (const auto &[len, n] : long_) {
      if (!put(d.p, len, n)) return nullptr;
    }
    return d.release();
  }

 private:
  static constexpr size_t kShort = 64;

  static bool put(PyObject *d, size_t len, uint64_t n) {
    Owned k(PyLong_FromSize_t(len)), v(PyLong_FromUnsignedLongLong(n));
    return k.p != nullptr && v.p != nullptr && PyDict_SetItem(d, k.p, v.p) == 0;
  }

  uint64_t short_[kShort] = {};
  std::map<size_t, uint64_t> long_;
};

// Occurrences per variable: in a table indexed by variable for variables
// within a small multiple of the literals counted, in a map beyond, so that
// a formula naming one huge variable costs no table up to it.
class Occurrences {
 public:
  explicit Occurrences(size_t lits) : dense_limit_(2 * lits + 1024) {}

  // Counts one occurrence of v; true at its first.
  bool add(Var v) {
    if (v >= dense_limit_) return sparse_[v]++ == 0;
    if (v >= dense_.size()) dense_.resize(size_t{v} + 1, 0);
    return dense_[v]++ == 0;
  }
  uint64_t count(Var v) const { return v < dense_limit_ ? dense_[v] : sparse_.at(v); }

 private:
  size_t dense_limit_;
  std::vector<uint64_t> dense_;
  std::unordered_map<Var, uint64_t> sparse_;
};

// profile() -> (lengths, counts, negative, positive): {clause length:
// clauses}; per variable that occurs, in the order of its first occurrence,
// its occurrences as bytes of native uint64 (array("Q", counts) reads them);
// and {clause length: clauses} of the non-empty clauses whose literals are
// all negative, and all positive.
PyObject *formula_profile(PyObject *self, PyObject *) {
  const Formula &f = *as_formula(self)->f;
  LengthCounts lengths, negative, positive;
  Occurrences count(f.num_lits());
  std::vector<Var> order;  // variables in the order of their first occurrence
  for (size_t i = 0; i < f.size(); ++i) {
    const size_t len = f.clause_len(i);
    lengths.add(len);
    const Lit *c = f.clause(i);
    size_t negated = 0;
    for (size_t k = 0; k < len; ++k) {
      negated += is_neg(c[k]);
      if (count.add(var_of(c[k]))) order.push_back(var_of(c[k]));
    }
    if (len != 0 && negated == len) negative.add(len);
    if (len != 0 && negated == 0) positive.add(len);
  }
  Owned d(lengths.dict()), neg_d(negative.dict()), pos_d(positive.dict());
  if (d.p == nullptr || neg_d.p == nullptr || pos_d.p == nullptr) return nullptr;
  std::vector<uint64_t> out(order.size());
  for (size_t i = 0; i < order.size(); ++i) out[i] = count.count(order[i]);
  Owned counts(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out.data()),
                                         static_cast<Py_ssize_t>(out.size() * sizeof(uint64_t))));
  if (counts.p == nullptr) return nullptr;
  return PyTuple_Pack(4, d.p, counts.p, neg_d.p, pos_d.p);
}

PyMethodDef formula_methods[] = {
    {"profile", method<formula_profile>, METH_NOARGS,
     "profile()\n--\n\n({clause length: clauses}, occurrences per variable in first-occurrence order as uint64 bytes, "
     "{clause length: all-negative clauses}, {clause length: all-positive clauses})."},
    {"feed", method<formula_feed>, METH_VARARGS,
     "feed(block, limit, tail)\n--\n\nKeep the clauses of a block of DIMACS numbers; (clauses, maxvar, tail) or None."},
    {"add_clause", method<formula_add_clause>, METH_O, "add_clause(lits)\n--\n\nKeep one clause of internal literals."},
    {"add_dimacs", method<formula_add_dimacs>, METH_O,
     "add_dimacs(clause)\n--\n\nKeep a list of plain DIMACS literals; its largest variable, or -1: not kept."},
    {"falsified", method<formula_falsified>, METH_O,
     "falsified(model)\n--\n\nThe first clause the model (a 0/1 byte per variable) falsifies, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef formula_getset[] = {
    {"nclauses", getter<formula_get_nclauses>, nullptr, nullptr, nullptr},
    {"nvars", getter<formula_get_nvars>, setter<formula_set_nvars>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot formula_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(make<formula_new>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(formula_dealloc)},
    {Py_tp_methods, formula_methods},
    {Py_tp_getset, formula_getset},
    {Py_tp_doc, const_cast<char *>("Formula(nvars=0)\n--\n\nClauses of internal literals, kept natively.")},
    {0, nullptr},
};

PyType_Spec formula_spec = {"quillon_native_cli._scan.Formula", sizeof(FormulaObject), 0, Py_TPFLAGS_DEFAULT,
                            formula_slots};

}  // namespace

int add_formula_type(PyObject *module) { return add_type(module, &formula_spec, "Formula", &formula_type); }

}  // namespace qn::cli
