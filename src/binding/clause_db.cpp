// ClauseDb: the Python face of ClauseArena.
//
//   ClauseDb(nvars=0)
//   add_clause(lits) -> bool        add_dimacs(lits) -> bool
//   clause(i) -> list[int]          clauses() -> list[list[int]]
//   num_vars, num_clauses, num_lits, memory_bytes
#include <string>

#include "binding/module.hpp"
#include "core/clause_arena.hpp"

namespace qn::py {
namespace {

using DbBox = Box<ClauseArena>;
PyObject *clause_db_type = nullptr;

const Signature sig_new{"ClauseDb.__new__()", {"nvars"}, 0};
const Signature sig_add_clause{"ClauseDb.add_clause()", {"lits"}, 1};
const Signature sig_add_dimacs{"ClauseDb.add_dimacs()", {"lits"}, 1};
const Signature sig_clause{"ClauseDb.clause()", {"i"}, 1};

ClauseArena &arena(PyObject *self) { return native<ClauseArena>(self); }
std::atomic<intptr_t> &borrow(PyObject *self) { return borrow_of<ClauseArena>(self); }

// The arena refuses the one literal 2^32 - 1 (the internal form of DIMACS
// -2^31).
bool lit_in_range(Lit l) {
  if (l != 0xFFFFFFFFu) return true;
  raise_value_error("literal out of range");
  return false;
}

PyObject *db_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return boundary([&]() -> PyObject * {
    PyObject *slots[1];
    uint32_t nvars = 0;
    if (!bind_tuple(sig_new, args, kwargs, slots) || !arg(slots[0], "nvars", conv_u32, &nvars)) return nullptr;
    return box_alloc(type, new ClauseArena(nvars));
  });
}

PyObject *db_add_clause(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  return boundary([&]() -> PyObject * {
    PyObject *slots[1];
    if (!bind_fastcall(sig_add_clause, args, nargs, kw, slots)) return nullptr;
    Exclusive guard(borrow(self));
    if (!guard) return nullptr;
    std::vector<Lit> lits;
    if (!arg(slots[0], "lits", conv_u32_seq, &lits)) return nullptr;
    for (Lit l : lits)
      if (!lit_in_range(l)) return nullptr;
    return PyBool_FromLong(arena(self).add(lits.data(), lits.size()));
  });
}

// DIMACS literal -> internal, refusing 0 (a terminator) and -2^31 (whose
// internal form 2^32 - 1 is no valid literal).
bool conv_dimacs_lit(PyObject *o, Lit *out) {
  int32_t d;
  if (!conv_i32(o, &d) || !check_dimacs(d) || !lit_in_range(from_dimacs(d))) return false;
  *out = from_dimacs(d);
  return true;
}

bool conv_dimacs_clause(PyObject *o, std::vector<Lit> *out) {
  out->clear();
  return for_each_item(o, [&](PyObject *item) {
    Lit l;
    if (!conv_dimacs_lit(item, &l)) return false;
    out->push_back(l);
    return true;
  });
}

PyObject *db_add_dimacs(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  return boundary([&]() -> PyObject * {
    PyObject *slots[1];
    if (!bind_fastcall(sig_add_dimacs, args, nargs, kw, slots)) return nullptr;
    Exclusive guard(borrow(self));
    if (!guard) return nullptr;
    std::vector<Lit> lits;
    if (!arg(slots[0], "lits", conv_dimacs_clause, &lits)) return nullptr;
    return PyBool_FromLong(arena(self).add(lits.data(), lits.size()));
  });
}

PyObject *db_clause(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  return boundary([&]() -> PyObject * {
    PyObject *slots[1];
    if (!bind_fastcall(sig_clause, args, nargs, kw, slots)) return nullptr;
    Shared guard(borrow(self));
    if (!guard) return nullptr;
    uint64_t i = 0;
    if (!arg(slots[0], "i", conv_u64, &i)) return nullptr;
    const ClauseArena &a = arena(self);
    if (i >= a.num_clauses()) {
      raise_value_error("clause index " + std::to_string(i) + " out of range (" + std::to_string(a.num_clauses()) +
                        " clauses)");
      return nullptr;
    }
    return new_u32_list(a.clause(i), a.clause_len(i));
  });
}

PyObject *db_clauses(PyObject *self, PyObject *) {
  return boundary([&]() -> PyObject * {
    Shared guard(borrow(self));
    if (!guard) return nullptr;
    const ClauseArena &a = arena(self);
    Ref list(PyList_New(static_cast<Py_ssize_t>(a.num_clauses())));
    if (!list) return nullptr;
    for (size_t i = 0; i < a.num_clauses(); ++i) {
      PyObject *c = new_u32_list(a.clause(i), a.clause_len(i));
      if (c == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), c);
    }
    return list.release();
  });
}

template <size_t (*Read)(const ClauseArena &)>
PyObject *db_getter(PyObject *self, void *) {
  Shared guard(borrow(self));
  if (!guard) return nullptr;
  return PyLong_FromSize_t(Read(arena(self)));
}

size_t read_num_vars(const ClauseArena &a) { return a.num_vars(); }
size_t read_num_clauses(const ClauseArena &a) { return a.num_clauses(); }
size_t read_num_lits(const ClauseArena &a) { return a.num_lits(); }
size_t read_memory_bytes(const ClauseArena &a) { return a.memory_bytes(); }

PyObject *db_repr(PyObject *self) {
  Shared guard(borrow(self));
  if (!guard) return nullptr;
  const ClauseArena &a = arena(self);
  const std::string s = "<ClauseDb vars=" + std::to_string(a.num_vars()) + " clauses=" +
                        std::to_string(a.num_clauses()) + " lits=" + std::to_string(a.num_lits()) +
                        " bytes=" + std::to_string(a.memory_bytes()) + ">";
  return PyUnicode_FromString(s.c_str());
}

PyMethodDef db_methods[] = {
    {"add_clause", QN_FASTCALL(db_add_clause),
     "add_clause($self, lits)\n--\n\nAdd a clause of internal literals.  False means it was a tautology."},
    {"add_dimacs", QN_FASTCALL(db_add_dimacs),
     "add_dimacs($self, lits)\n--\n\nAdd a clause of signed 1-based DIMACS literals."},
    {"clause", QN_FASTCALL(db_clause), "clause($self, i)\n--\n\nLiterals of clause `i`."},
    {"clauses", as_cfunc(db_clauses), METH_NOARGS,
     "clauses($self)\n--\n\nEvery clause, as a list of lists -- the round-trip out of the arena."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef db_getset[] = {
    {"num_vars", db_getter<read_num_vars>, nullptr, nullptr, nullptr},
    {"num_clauses", db_getter<read_num_clauses>, nullptr, nullptr, nullptr},
    {"num_lits", db_getter<read_num_lits>, nullptr, nullptr, nullptr},
    {"memory_bytes", db_getter<read_memory_bytes>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot db_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(db_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(box_dealloc<ClauseArena>)},
    {Py_tp_traverse, reinterpret_cast<void *>(box_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(box_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(db_repr)},
    {Py_tp_methods, db_methods},
    {Py_tp_getset, db_getset},
    {Py_tp_doc, const_cast<char *>("ClauseDb(nvars=0)\n--\n\nA clause database living in native memory.")},
    {0, nullptr},
};

PyType_Spec db_spec = {
    "quillon_native.ClauseDb",
    sizeof(DbBox),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    db_slots,
};

}  // namespace

int add_clause_db_type(PyObject *module) {
  return add_type_once(module, &clause_db_type, &db_spec, "ClauseDb");
}

}  // namespace qn::py
