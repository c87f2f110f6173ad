// Formula(nvars=0): feed(block, limit, tail) and add_clause(lits) keep
// clauses; nvars (settable) and nclauses.
#include "cli/formula_type.hpp"

#include <map>
#include <unordered_map>
#include <vector>

#include "cli/module.hpp"
#include "cli/py_glue.hpp"

namespace qn::cli {

namespace {

PyObject *formula_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  uint32_t nvars = 0;
  static const char *kw[] = {"nvars", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|I:Formula", const_cast<char **>(kw), &nvars)) return nullptr;
  auto *o = new FormulaState();
  o->nvars = nvars;
  return glue::box_alloc(type, o);
}

// falsified(model) -> the index of the first clause that the model (bytes,
// a 0/1 byte per variable) leaves without a true literal, or None.
PyObject *formula_falsified(FormulaState &o, PyObject *model) {
  char *data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(model, &data, &size) < 0) return nullptr;
  const Formula &f = o.f;
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

int formula_set_nvars(PyObject *self, PyObject *value, void *) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "nvars cannot be deleted");
    return -1;
  }
  PyObject *r = glue::with_native<kPolicy, FormulaState, glue::kExclusive>(self, [&](FormulaState &o) -> PyObject * {
    const unsigned long v = PyLong_AsUnsignedLong(value);
    if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    o.nvars = static_cast<uint32_t>(v);
    return Py_None;
  });
  return r == nullptr ? -1 : 0;
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
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (size_t len = 0; len < kShort; ++len) {
      if (short_[len] != 0 && !put(d.get(), len, short_[len])) return nullptr;
    }
    for (const auto &[len, n] : long_) {
      if (!put(d.get(), len, n)) return nullptr;
    }
    return d.release();
  }

 private:
  static constexpr size_t kShort = 64;

  static bool put(PyObject *d, size_t len, uint64_t n) {
    Ref k(to_py(uint64_t{len})), v(to_py(n));
    return k && v && PyDict_SetItem(d, k.get(), v.get()) == 0;
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
PyObject *formula_profile(FormulaState &o, PyObject *) {
  const Formula &f = o.f;
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
  std::vector<uint64_t> out(order.size());
  for (size_t i = 0; i < order.size(); ++i) out[i] = count.count(order[i]);
  return glue::new_tuple(lengths.dict(),
                         PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out.data()),
                                                   static_cast<Py_ssize_t>(out.size() * sizeof(uint64_t))),
                         negative.dict(), positive.dict());
}

PyMethodDef formula_methods[] = {
    {"profile", method<FormulaState, formula_profile>, METH_NOARGS,
     "profile()\n--\n\n({clause length: clauses}, occurrences per variable in first-occurrence order as uint64 bytes, "
     "{clause length: all-negative clauses}, {clause length: all-positive clauses})."},
    QN_CLAUSE_INPUT(FormulaState, "Keep"),
    {"falsified", method<FormulaState, formula_falsified>, METH_O,
     "falsified(model)\n--\n\nThe first clause the model (a 0/1 byte per variable) falsifies, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef formula_getset[] = {
    {"nclauses", prop<FormulaState, [](FormulaState &o) { return uint64_t{o.f.size()}; }>, nullptr, nullptr, nullptr},
    {"nvars", prop<FormulaState, [](FormulaState &o) { return o.nvars; }>, formula_set_nvars, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot formula_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(make<formula_new>)},
    QN_BOX_SLOTS(FormulaState),
    {Py_tp_methods, formula_methods},
    {Py_tp_getset, formula_getset},
    {Py_tp_doc, const_cast<char *>("Formula(nvars=0)\n--\n\nClauses of internal literals, kept natively.")},
    {0, nullptr},
};

PyType_Spec formula_spec = {"quillon_native_cli._scan.Formula", sizeof(glue::Box<FormulaState>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, formula_slots};

}  // namespace

int add_formula_type(PyObject *module) {
  return glue::add_type(module, "Formula", &formula_spec, &glue::state<State>(module).objects[kFormulaType]);
}

}  // namespace qn::cli
