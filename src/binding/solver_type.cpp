// Solver: the Python face of the native CDCL core.
//
//   Solver(nvars=0, restart="luby", ccmin="deep", ..., rnd_seed=91648253)
//   new_var() -> int                 enable_proof() -> None
//   proof_steps() -> list[(str, list[int])]
//   add_clause(lits) -> bool         solve(max_conflicts=None, seconds=None) -> bool | None
//   model, nvars, ok and the eleven statistics (read-only properties)
//   check_watch_invariant() -> list[str]
#include <array>
#include <iterator>
#include <string>

#include "binding/module.hpp"
#include "pyglue/options.hpp"
#include "solver/deadline.hpp"
#include "solver/solver.hpp"

namespace qn::py {
namespace {

PyObject *solver_type = nullptr;

// nvars, then the options in keyword order.
const Signature sig_new = [] {
  Signature sig{"Solver.__new__()", {"nvars"}, 0};
  sig.names.insert(sig.names.end(), std::begin(kOptionNames), std::end(kOptionNames));
  return sig;
}();
const Signature sig_add_clause{"Solver.add_clause()", {"lits"}, 1};
const Signature sig_solve{"Solver.solve()", {"max_conflicts", "seconds"}, 0};

PyObject *solver_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  PyObject *s[1 + kNumOptions];
  uint32_t nvars = 0;
  OptionValues v;
  if (!bind_tuple(sig_new, args, kwargs, s) || !arg(s[0], "nvars", conv_u32, &nvars)) return nullptr;
  for (size_t i = 0; i < kNumOptions; ++i) {
    if (s[1 + i] != nullptr && !read_option(i, s[1 + i], &v)) {
      add_note_processing(kOptionNames[i]);
      return nullptr;
    }
  }
  if (!check_options(v)) return nullptr;
  return glue::box_alloc(type, new Solver(nvars, v.cfg));
}

PyObject *solver_new_var(Solver &s, PyObject *) { return to_py(s.new_var()); }

PyObject *solver_enable_proof(Solver &s, PyObject *) {
  if (s.used()) {
    raise_value_error(
        "enable_proof() must be called before any clause is added: a proof that starts midway through the "
        "formula is not a proof");
    return nullptr;
  }
  s.enable_proof();
  Py_RETURN_NONE;
}

PyObject *solver_proof_steps(Solver &s, PyObject *) { return new_proof_list(s.proof(), ProofKind::Letter); }

PyObject *solver_add_clause(Solver &s, PyObject **slots) {
  std::vector<Lit> lits;
  if (!arg(slots[0], "lits", conv_u32_seq, &lits)) return nullptr;
  return to_py(s.add_clause(lits.data(), lits.size()));
}

PyObject *solver_solve(Solver &s, PyObject **slots) {
  uint64_t max_conflicts = 0;
  double seconds = 0.0;
  bool has_max = false, has_seconds = false;
  if (!opt_arg(slots[0], "max_conflicts", conv_u64, &max_conflicts, &has_max) ||
      !opt_arg(slots[1], "seconds", conv_f64, &seconds, &has_seconds))
    return nullptr;
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (const char *failure = has_seconds ? deadline_after(seconds, &deadline) : nullptr) {
    raise_panic(failure, __FILE__, __LINE__);
    return nullptr;
  }
  struct ClearDeadline {
    Solver &s;
    ~ClearDeadline() { s.set_deadline(std::nullopt); }
  } clear{s};
  s.set_deadline(deadline);
  const uint8_t r = s.solve(has_max ? std::optional<uint64_t>(max_conflicts) : std::optional<uint64_t>());
  if (r == kSat) Py_RETURN_TRUE;
  if (r == kUnsat) Py_RETURN_FALSE;
  Py_RETURN_NONE;
}

PyObject *solver_check_watch_invariant(Solver &s, PyObject *) {
  const std::vector<std::string> v = s.check_watch_invariant();
  return glue::new_list(v.size(), [&](size_t i) { return to_py(v[i]); });
}

PyObject *solver_repr(PyObject *self) {
  return with_shared<Solver>(self, [](Solver &s) {
    return to_py("<native.Solver vars=" + std::to_string(s.nvars()) +
                 " conflicts=" + std::to_string(s.stats().conflicts) + ">");
  });
}

PyMethodDef solver_methods[] = {
    {"new_var", QN_NOARGS((noargs<Solver, kExclusive, solver_new_var>)), "new_var($self)\n--\n\n"},
    {"enable_proof", QN_NOARGS((noargs<Solver, kExclusive, solver_enable_proof>)),
     "enable_proof($self)\n--\n\nTurn on DRAT proof logging.  Must be called before any clause is added,\nsince a "
     "proof that starts midway through is not a proof."},
    {"proof_steps", QN_NOARGS((noargs<Solver, kShared, solver_proof_steps>)),
     "proof_steps($self)\n--\n\nThe recorded proof as (kind, dimacs_literals) pairs, kind in {\"a\",\"d\"}."},
    {"add_clause", QN_FASTCALL((fast_method<sig_add_clause, Solver, kExclusive, solver_add_clause>)),
     "add_clause($self, lits)\n--\n\n"},
    {"solve", QN_FASTCALL((fast_method<sig_solve, Solver, kExclusive, solver_solve>)),
     "solve($self, max_conflicts=None, seconds=None)\n--\n\n"},
    {"check_watch_invariant", QN_NOARGS((noargs<Solver, kShared, solver_check_watch_invariant>)),
     "check_watch_invariant($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The properties: model, nvars and ok, then the counters in their own order.
constexpr size_t kFixedProps = 3;
constexpr std::array<PyGetSetDef, kFixedProps + kNumStats + 1> solver_properties() {
  std::array<PyGetSetDef, kFixedProps + kNumStats + 1> props{{
      {"model", prop<Solver, [](Solver &s) { return new_bool_list(s.model()); }>, nullptr, nullptr, nullptr},
      {"nvars", prop<Solver, [](Solver &s) { return s.nvars(); }>, nullptr, nullptr, nullptr},
      {"ok", prop<Solver, [](Solver &s) { return s.ok(); }>, nullptr, nullptr, nullptr},
  }};
#define QN_STAT_GETTER(name, shown_at) \
  props[kFixedProps + (shown_at)] = {#name, prop<Solver, [](Solver &s) { return s.stats().name; }>, nullptr, nullptr, nullptr};
  QN_SOLVER_STATS(QN_STAT_GETTER)
#undef QN_STAT_GETTER
  props.back() = {nullptr, nullptr, nullptr, nullptr, nullptr};
  return props;
}

// Every counter has a place of its own: none left empty, none taken twice.
static_assert([] {
  auto props = solver_properties();
  for (size_t i = 0; i + 1 < props.size(); ++i)
    if (props[i].name == nullptr) return false;
  return true;
}());

std::array<PyGetSetDef, kFixedProps + kNumStats + 1> solver_getset = solver_properties();

}  // namespace

int add_solver_type(PyObject *module) {
  static const std::string doc = "Solver(nvars=0, " + option_defaults() +
                                 ")\n--\n\n"
                                 "The native CDCL search core (Sprint 2).\n\n"
                                 "Deliberately mirrors `quillon.solver.Solver` so the two can be compared\n"
                                 "bit-for-bit while the port is intentionally faithful.";
  return add_box_class<Solver>(module,
                               {.name = "quillon_native.Solver", .doc = doc.c_str(), .make = make<solver_new>,
                                .methods = solver_methods, .getset = solver_getset.data(), .repr = solver_repr},
                               &solver_type, false);
}

}  // namespace qn::py
