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

PyObject *clause_db_type = nullptr;

const Signature sig_new{"ClauseDb.__new__()", {"nvars"}, 0};
const Signature sig_add_clause{"ClauseDb.add_clause()", {"lits"}, 1};
const Signature sig_add_dimacs{"ClauseDb.add_dimacs()", {"lits"}, 1};
const Signature sig_clause{"ClauseDb.clause()", {"i"}, 1};

// The arena refuses the one literal 2^32 - 1 (the internal form of DIMACS
// -2^31).
bool lit_in_range(Lit l) {
  if (l != 0xFFFFFFFFu) return true;
  raise_value_error("literal out of range");
  return false;
}

PyObject *db_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  PyObject *slots[1];
  uint32_t nvars = 0;
  if (!bind_tuple(sig_new, args, kwargs, slots) || !arg(slots[0], "nvars", conv_u32, &nvars)) return nullptr;
  return glue::box_alloc(type, new ClauseArena(nvars));
}

PyObject *db_add_clause(ClauseArena &a, PyObject **s) {
  std::vector<Lit> lits;
  if (!arg(s[0], "lits", conv_u32_seq, &lits)) return nullptr;
  for (Lit l : lits)
    if (!lit_in_range(l)) return nullptr;
  return to_py(a.add(lits.data(), lits.size()));
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

PyObject *db_add_dimacs(ClauseArena &a, PyObject **s) {
  std::vector<Lit> lits;
  if (!arg(s[0], "lits", conv_dimacs_clause, &lits)) return nullptr;
  return to_py(a.add(lits.data(), lits.size()));
}

PyObject *db_clause(ClauseArena &a, PyObject **s) {
  uint64_t i = 0;
  if (!arg(s[0], "i", conv_u64, &i)) return nullptr;
  if (i >= a.num_clauses()) {
    raise_value_error("clause index " + std::to_string(i) + " out of range (" + std::to_string(a.num_clauses()) +
                      " clauses)");
    return nullptr;
  }
  return new_u32_list(a.clause(i), a.clause_len(i));
}

PyObject *db_clauses(ClauseArena &a, PyObject *) {
  return glue::new_list(a.num_clauses(), [&](size_t i) { return new_u32_list(a.clause(i), a.clause_len(i)); });
}

PyObject *db_repr(PyObject *self) {
  return with_shared<ClauseArena>(self, [](ClauseArena &a) {
    const std::string s = "<ClauseDb vars=" + std::to_string(a.num_vars()) + " clauses=" +
                          std::to_string(a.num_clauses()) + " lits=" + std::to_string(a.num_lits()) +
                          " bytes=" + std::to_string(a.memory_bytes()) + ">";
    return to_py(s);
  });
}

PyMethodDef db_methods[] = {
    {"add_clause", QN_FASTCALL((fast_method<sig_add_clause, ClauseArena, kExclusive, db_add_clause>)),
     "add_clause($self, lits)\n--\n\nAdd a clause of internal literals.  False means it was a tautology."},
    {"add_dimacs", QN_FASTCALL((fast_method<sig_add_dimacs, ClauseArena, kExclusive, db_add_dimacs>)),
     "add_dimacs($self, lits)\n--\n\nAdd a clause of signed 1-based DIMACS literals."},
    {"clause", QN_FASTCALL((fast_method<sig_clause, ClauseArena, kShared, db_clause>)),
     "clause($self, i)\n--\n\nLiterals of clause `i`."},
    {"clauses", QN_NOARGS((noargs<ClauseArena, kShared, db_clauses>)),
     "clauses($self)\n--\n\nEvery clause, as a list of lists -- the round-trip out of the arena."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef db_getset[] = {
    {"num_vars", prop<ClauseArena, [](ClauseArena &a) { return a.num_vars(); }>, nullptr, nullptr, nullptr},
    {"num_clauses", prop<ClauseArena, [](ClauseArena &a) { return a.num_clauses(); }>, nullptr, nullptr, nullptr},
    {"num_lits", prop<ClauseArena, [](ClauseArena &a) { return a.num_lits(); }>, nullptr, nullptr, nullptr},
    {"memory_bytes", prop<ClauseArena, [](ClauseArena &a) { return a.memory_bytes(); }>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_clause_db_type(PyObject *module) {
  return add_box_class<ClauseArena>(
      module,
      {.name = "quillon_native.ClauseDb", .doc = "ClauseDb(nvars=0)\n--\n\nA clause database living in native memory.",
       .make = make<db_new>, .methods = db_methods, .getset = db_getset, .repr = db_repr},
      &clause_db_type, false);
}

}  // namespace qn::py
