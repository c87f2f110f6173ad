// Preprocessor: the Python face of prep::Preprocessor.
//
//   Preprocessor(nvars=0, do_bve=True, max_resolvent_len=20, with_proof=False)
//   add_clause(lits)   freeze(v)   run(rounds=3) -> bool
//   reduced() -> list[list[int]]   reconstruct(model) -> list[bool]
//   proof_steps() -> list[tuple[str, list[int]]]
//   unsat, nvars, units, subsumed, strengthened, eliminated_vars,
//   resolvents, pure
#include <memory>
#include <string>

#include "binding/module.hpp"
#include "preprocess/preprocessor.hpp"

namespace qn::py {
namespace {

using prep::Preprocessor;
PyObject *preprocessor_type = nullptr;

const Signature sig_new{"Preprocessor.__new__()", {"nvars", "do_bve", "max_resolvent_len", "with_proof"}, 0};
const Signature sig_add_clause{"Preprocessor.add_clause()", {"lits"}, 1};
const Signature sig_freeze{"Preprocessor.freeze()", {"v"}, 1};
const Signature sig_run{"Preprocessor.run()", {"rounds"}, 0};
const Signature sig_reconstruct{"Preprocessor.reconstruct()", {"model"}, 1};

// Variables from 2^31 on have no 32-bit literals.
bool check_var(uint64_t v) {
  if (v < prep::kMaxVars) return true;
  raise_value_error("variable " + std::to_string(v) + " out of range");
  return false;
}

PyObject *prep_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  PyObject *slots[4];
  uint32_t nvars = 0;
  bool do_bve = prep::kDefaultBve, with_proof = false;
  uint64_t max_len = prep::kDefaultMaxResolventLen;
  if (!bind_tuple(sig_new, args, kwargs, slots) || !arg(slots[0], "nvars", conv_u32, &nvars) ||
      !arg(slots[1], "do_bve", conv_bool, &do_bve) || !arg(slots[2], "max_resolvent_len", conv_u64, &max_len) ||
      !arg(slots[3], "with_proof", conv_bool, &with_proof)) {
    return nullptr;
  }
  if (nvars > 0 && !check_var(uint64_t{nvars} - 1)) return nullptr;
  auto p = std::make_unique<Preprocessor>(do_bve, max_len, with_proof);
  p->grow(nvars);
  return glue::box_alloc(type, p.release());
}

PyObject *prep_add_clause(Preprocessor &p, PyObject **s) {
  std::vector<Lit> lits;
  if (!arg(s[0], "lits", conv_u32_seq, &lits)) return nullptr;
  Var bad = 0;
  if (p.add_clause(lits, &bad) == prep::AddOutcome::Eliminated) {
    raise_value_error("variable " + std::to_string(bad) + " was eliminated; freeze it before run to add clauses over it");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *prep_freeze(Preprocessor &p, PyObject **s) {
  uint32_t v = 0;
  if (!arg(s[0], "v", conv_u32, &v) || !check_var(v)) return nullptr;
  p.freeze(v);
  Py_RETURN_NONE;
}

PyObject *prep_run(Preprocessor &p, PyObject **s) {
  uint32_t rounds = prep::kDefaultRounds;
  if (!arg(s[0], "rounds", conv_u32, &rounds)) return nullptr;
  return to_py(p.run(rounds));
}

// A refuted formula reduces to the one empty clause.
PyObject *prep_reduced(Preprocessor &p, PyObject *) {
  if (p.unsat()) return glue::new_list(1, [](size_t) { return PyList_New(0); });
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (prep::ClauseId i = 0; i < p.num_slots(); ++i) {
    if (!p.is_live(i)) continue;
    Ref c(new_u32_list(p.clause(i), p.clause_len(i)));
    if (!c || PyList_Append(list.get(), c.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject *prep_reconstruct(Preprocessor &p, PyObject **s) {
  std::vector<bool> model, out;
  if (!arg(s[0], "model", conv_bool_seq, &model)) return nullptr;
  const prep::ReconstructError err = p.reconstruct(model, &out);
  const std::string x = "x" + std::to_string(err.var);
  switch (err.kind) {
    case prep::ReconstructError::Kind::BothPolarities:
      raise_value_error("reconstruction invariant violated for " + x + ": clauses of both polarities are unsatisfied");
      return nullptr;
    case prep::ReconstructError::Kind::Failed:
      raise_value_error("reconstruction failed for " + x);
      return nullptr;
    case prep::ReconstructError::Kind::None:
      break;
  }
  return new_bool_list(out);
}

PyObject *prep_proof_steps(Preprocessor &p, PyObject *) { return new_proof_list(p.proof(), ProofKind::Letter); }

PyObject *prep_repr(PyObject *self) {
  return with_shared<Preprocessor>(self, [](Preprocessor &p) {
    return to_py("<native.Preprocessor vars=" + std::to_string(p.nvars()) +
                 " eliminated=" + std::to_string(p.eliminated_vars) + " subsumed=" + std::to_string(p.subsumed) + ">");
  });
}

PyMethodDef prep_methods[] = {
    {"add_clause", QN_FASTCALL((fast_method<sig_add_clause, Preprocessor, kExclusive, prep_add_clause>)),
     "add_clause($self, lits)\n--\n\n"},
    {"freeze", QN_FASTCALL((fast_method<sig_freeze, Preprocessor, kExclusive, prep_freeze>)), "freeze($self, v)\n--\n\n"},
    {"run", QN_FASTCALL((fast_method<sig_run, Preprocessor, kExclusive, prep_run>)), "run($self, rounds=" QN_STR(QN_PREP_ROUNDS) ")\n--\n\n"},
    {"reduced", QN_NOARGS((noargs<Preprocessor, kShared, prep_reduced>)), "reduced($self)\n--\n\n"},
    {"reconstruct", QN_FASTCALL((fast_method<sig_reconstruct, Preprocessor, kShared, prep_reconstruct>)),
     "reconstruct($self, model)\n--\n\n"},
    {"proof_steps", QN_NOARGS((noargs<Preprocessor, kShared, prep_proof_steps>)), "proof_steps($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef prep_getset[] = {
    {"unsat", prop<Preprocessor, [](Preprocessor &p) { return p.unsat(); }>, nullptr, nullptr, nullptr},
    {"nvars", prop<Preprocessor, [](Preprocessor &p) { return p.nvars(); }>, nullptr, nullptr, nullptr},
#define QN_PREP_STAT_GETTER(name) \
  {#name, prop<Preprocessor, [](Preprocessor &p) { return p.name; }>, nullptr, nullptr, nullptr},
    QN_PREP_STATS(QN_PREP_STAT_GETTER)
#undef QN_PREP_STAT_GETTER
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_preprocessor_type(PyObject *module) {
  return add_box_class<Preprocessor>(
      module,
      {.name = "quillon_native.Preprocessor",
       .doc = "Preprocessor(nvars=0, do_bve=True, max_resolvent_len=" QN_STR(QN_PREP_MAX_RESOLVENT_LEN)
              ", with_proof=False)\n--\n\n"
              "Native preprocessor: subsumption, self-subsuming resolution, pure literals\n"
              "and bounded variable elimination.",
       .make = make<prep_new>, .methods = prep_methods, .getset = prep_getset, .repr = prep_repr},
      &preprocessor_type, false);
}

}  // namespace qn::py
