// Solver: the Python face of the native CDCL core.
//
//   Solver(nvars=0, restart="luby", ccmin="deep", ..., rnd_seed=91648253)
//   new_var() -> int                 enable_proof() -> None
//   proof_steps() -> list[(str, list[int])]
//   add_clause(lits) -> bool         solve(max_conflicts=None, seconds=None) -> bool | None
//   model, nvars, ok and the eleven statistics (read-only properties)
//   check_watch_invariant() -> list[str]
#include <array>
#include <cmath>
#include <ctime>
#include <iterator>
#include <string>

#include "binding/module.hpp"
#include "binding/options.hpp"
#include "solver/solver.hpp"

namespace qn::py {
namespace {

using SolverBox = Box<Solver>;
PyObject *solver_type = nullptr;

// nvars, then the options in keyword order.
const Signature sig_new = [] {
  Signature sig{"Solver.__new__()", {"nvars"}, 0};
  sig.names.insert(sig.names.end(), std::begin(kOptionNames), std::end(kOptionNames));
  return sig;
}();
const Signature sig_add_clause{"Solver.add_clause()", {"lits"}, 1};
const Signature sig_solve{"Solver.solve()", {"max_conflicts", "seconds"}, 0};

Solver &core(PyObject *self) { return native<Solver>(self); }
std::atomic<intptr_t> &borrow(PyObject *self) { return borrow_of<Solver>(self); }

PyObject *solver_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return boundary([&]() -> PyObject * {
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
    return box_alloc(type, new Solver(nvars, v.cfg));
  });
}

PyObject *solver_new_var(PyObject *self, PyObject *) {
  return boundary([&]() -> PyObject * {
    Exclusive guard(borrow(self));
    if (!guard) return nullptr;
    return PyLong_FromUnsignedLong(core(self).new_var());
  });
}

PyObject *solver_enable_proof(PyObject *self, PyObject *) {
  return boundary([&]() -> PyObject * {
    Exclusive guard(borrow(self));
    if (!guard) return nullptr;
    Solver &s = core(self);
    if (s.used()) {
      raise_value_error(
          "enable_proof() must be called before any clause is added: a proof that starts midway through the "
          "formula is not a proof");
      return nullptr;
    }
    s.enable_proof();
    Py_RETURN_NONE;
  });
}

PyObject *solver_proof_steps(PyObject *self, PyObject *) {
  return boundary([&]() -> PyObject * {
    Shared guard(borrow(self));
    if (!guard) return nullptr;
    return new_proof_list(core(self).proof(), ProofKind::Letter);
  });
}

PyObject *solver_add_clause(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  return boundary([&]() -> PyObject * {
    PyObject *slots[1];
    if (!bind_fastcall(sig_add_clause, args, nargs, kw, slots)) return nullptr;
    Exclusive guard(borrow(self));
    if (!guard) return nullptr;
    std::vector<Lit> lits;
    if (!arg(slots[0], "lits", conv_u32_seq, &lits)) return nullptr;
    return PyBool_FromLong(core(self).add_clause(lits.data(), lits.size()));
  });
}

// now + seconds on the monotonic clock.  The failures are internal
// failures with the texts of a seconds-to-duration conversion and of an
// instant overflow; they are raised here directly (false with the exception
// set) rather than thrown.  A deadline beyond what steady_clock can
// represent (centuries away) is no deadline.
bool deadline_after(double seconds, std::optional<std::chrono::steady_clock::time_point> *out) {
  if (seconds < 0.0) {
    raise_panic("cannot convert float seconds to Duration: value is negative", __FILE__, __LINE__);
    return false;
  }
  if (std::isnan(seconds) || seconds >= 18446744073709551616.0) {
    raise_panic("cannot convert float seconds to Duration: value is either too big or NaN", __FILE__, __LINE__);
    return false;
  }
  uint64_t secs = static_cast<uint64_t>(seconds);
  const long double frac = static_cast<long double>(seconds) - static_cast<long double>(secs);
  uint64_t nanos = static_cast<uint64_t>(std::nearbyint(frac * 1e9L));
  if (nanos >= 1000000000u) {
    secs += 1;
    nanos -= 1000000000u;
  }
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t max_secs = static_cast<uint64_t>(INT64_MAX);
  const uint64_t carry = (static_cast<uint64_t>(now.tv_nsec) + nanos) >= 1000000000u ? 1 : 0;
  if (secs > max_secs || secs > max_secs - static_cast<uint64_t>(now.tv_sec) ||
      secs + static_cast<uint64_t>(now.tv_sec) > max_secs - carry) {
    raise_panic("overflow when adding duration to instant", __FILE__, __LINE__);
    return false;
  }
  using namespace std::chrono;
  const auto start = steady_clock::now();
  // Nanoseconds left before steady_clock's largest time point.
  const auto room = static_cast<uint64_t>((steady_clock::time_point::max() - start).count());
  if (secs >= room / 1000000000u) {
    out->reset();
  } else {
    *out = start + nanoseconds(static_cast<int64_t>(secs * 1000000000u + nanos));
  }
  return true;
}

PyObject *solver_solve(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
  return boundary([&]() -> PyObject * {
    PyObject *slots[2];
    if (!bind_fastcall(sig_solve, args, nargs, kw, slots)) return nullptr;
    Exclusive guard(borrow(self));
    if (!guard) return nullptr;
    uint64_t max_conflicts = 0;
    double seconds = 0.0;
    bool has_max = false, has_seconds = false;
    if (!opt_arg(slots[0], "max_conflicts", conv_u64, &max_conflicts, &has_max) ||
        !opt_arg(slots[1], "seconds", conv_f64, &seconds, &has_seconds))
      return nullptr;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (has_seconds && !deadline_after(seconds, &deadline)) return nullptr;
    Solver &s = core(self);
    struct ClearDeadline {
      Solver &s;
      ~ClearDeadline() { s.set_deadline(std::nullopt); }
    } clear{s};
    s.set_deadline(deadline);
    const uint8_t r =
        s.solve(has_max ? std::optional<uint64_t>(max_conflicts) : std::optional<uint64_t>());
    if (r == kSat) Py_RETURN_TRUE;
    if (r == kUnsat) Py_RETURN_FALSE;
    Py_RETURN_NONE;
  });
}

PyObject *solver_check_watch_invariant(PyObject *self, PyObject *) {
  return boundary([&]() -> PyObject * {
    Shared guard(borrow(self));
    if (!guard) return nullptr;
    const std::vector<std::string> v = core(self).check_watch_invariant();
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < v.size(); ++i) {
      PyObject *str = PyUnicode_FromStringAndSize(v[i].data(), static_cast<Py_ssize_t>(v[i].size()));
      if (str == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), str);
    }
    return list.release();
  });
}

PyObject *get_model(PyObject *self, void *) {
  return boundary([&]() -> PyObject * {
    Shared guard(borrow(self));
    if (!guard) return nullptr;
    return new_bool_list(core(self).model());
  });
}

PyObject *get_nvars(PyObject *self, void *) {
  Shared guard(borrow(self));
  if (!guard) return nullptr;
  return PyLong_FromUnsignedLong(core(self).nvars());
}

PyObject *get_ok(PyObject *self, void *) {
  Shared guard(borrow(self));
  if (!guard) return nullptr;
  return PyBool_FromLong(core(self).ok());
}

template <uint64_t Stats::*Field>
PyObject *get_stat(PyObject *self, void *) {
  Shared guard(borrow(self));
  if (!guard) return nullptr;
  return new_u64(core(self).stats().*Field);
}

PyObject *solver_repr(PyObject *self) {
  Shared guard(borrow(self));
  if (!guard) return nullptr;
  const Solver &s = core(self);
  const std::string r =
      "<native.Solver vars=" + std::to_string(s.nvars()) + " conflicts=" + std::to_string(s.stats().conflicts) + ">";
  return PyUnicode_FromString(r.c_str());
}

PyMethodDef solver_methods[] = {
    {"new_var", as_cfunc(solver_new_var), METH_NOARGS, "new_var($self)\n--\n\n"},
    {"enable_proof", as_cfunc(solver_enable_proof), METH_NOARGS,
     "enable_proof($self)\n--\n\nTurn on DRAT proof logging.  Must be called before any clause is added,\nsince a "
     "proof that starts midway through is not a proof."},
    {"proof_steps", as_cfunc(solver_proof_steps), METH_NOARGS,
     "proof_steps($self)\n--\n\nThe recorded proof as (kind, dimacs_literals) pairs, kind in {\"a\",\"d\"}."},
    {"add_clause", QN_FASTCALL(solver_add_clause), "add_clause($self, lits)\n--\n\n"},
    {"solve", QN_FASTCALL(solver_solve), "solve($self, max_conflicts=None, seconds=None)\n--\n\n"},
    {"check_watch_invariant", as_cfunc(solver_check_watch_invariant), METH_NOARGS,
     "check_watch_invariant($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The properties: model, nvars and ok, then the counters in their own order.
constexpr size_t kFixedProps = 3;
constexpr std::array<PyGetSetDef, kFixedProps + kNumStats + 1> solver_properties() {
  std::array<PyGetSetDef, kFixedProps + kNumStats + 1> props{{
      {"model", get_model, nullptr, nullptr, nullptr},
      {"nvars", get_nvars, nullptr, nullptr, nullptr},
      {"ok", get_ok, nullptr, nullptr, nullptr},
  }};
#define QN_STAT_GETTER(name, shown_at) \
  props[kFixedProps + (shown_at)] = {#name, get_stat<&Stats::name>, nullptr, nullptr, nullptr};
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

PyType_Slot solver_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(solver_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(box_dealloc<Solver>)},
    {Py_tp_traverse, reinterpret_cast<void *>(box_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(box_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(solver_repr)},
    {Py_tp_methods, solver_methods},
    {Py_tp_getset, solver_getset.data()},
    {Py_tp_doc, nullptr},  // set by add_solver_type from the option table
    {0, nullptr},
};

PyType_Spec solver_spec = {
    "quillon_native.Solver",
    sizeof(SolverBox),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    solver_slots,
};

}  // namespace

int add_solver_type(PyObject *module) {
  static const std::string doc = "Solver(nvars=0, " + option_defaults() +
                                 ")\n--\n\n"
                                 "The native CDCL search core (Sprint 2).\n\n"
                                 "Deliberately mirrors `quillon.solver.Solver` so the two can be compared\n"
                                 "bit-for-bit while the port is intentionally faithful.";
  for (PyType_Slot *slot = solver_slots; slot->slot != 0; ++slot)
    if (slot->slot == Py_tp_doc) slot->pfunc = const_cast<char *>(doc.c_str());
  return add_type_once(module, &solver_type, &solver_spec, "Solver");
}

}  // namespace qn::py
