// plan_of(formula, slice): auto's plan for a formula, from the program's one
// table (plan.hpp), as data and as the line the run prints.
// run_plan(argv, formula, proof_fd): the search program's run (search_auto.hpp)
// in this process, over a Formula, on a helper thread while the calling
// thread waits with the interpreter unlocked.  A signal whose handler
// raises (KeyboardInterrupt), or a stop request, stops the search at its
// next conflict; the call returns once it has ended, raising what the
// handler raised.
#include <Python.h>
#include <fcntl.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "cli/formula_type.hpp"
#include "cli/module.hpp"
#include "cli/plan.hpp"
#include "cli/py_glue.hpp"
#include "cli/search_auto.hpp"
#include "cli/stop.hpp"

namespace qn::cli {
namespace {

bool parse_argv(PyObject *list, SearchArgs *a) {
  std::vector<std::string> words;
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    Py_ssize_t len = 0;
    const char *w = PyUnicode_AsUTF8AndSize(PyList_GetItem(list, i), &len);
    if (w == nullptr) return false;
    words.emplace_back(w, static_cast<size_t>(len));
  }
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  if (!parse_search_args(static_cast<int>(words.size()), argv.data(), a)) {
    PyErr_SetString(PyExc_ValueError, "run_plan: malformed search arguments");
    return false;
  }
  return true;
}

PyObject *run_plan(PyObject *module, PyObject *args) {
  PyObject *argv, *formula;
  int proof_fd;
  auto *formula_type = reinterpret_cast<PyTypeObject *>(glue::state<State>(module).objects[kFormulaType]);
  if (!PyArg_ParseTuple(args, "O!O!i:run_plan", &PyList_Type, &argv, formula_type, &formula, &proof_fd)) return nullptr;
  SearchArgs a;
  if (!parse_argv(argv, &a)) return nullptr;
  return glue::with_native<kPolicy, FormulaState, glue::kExclusive>(formula, [&](FormulaState &o) -> PyObject * {
    const Formula &f = o.f;
    const ReadFormula read = [&](const AddClause &add, int *fd) {
      for (size_t i = 0; i < f.size(); ++i) add(f.clause(i), f.clause_len(i));
      *fd = proof_fd < 0 ? -1 : ::fcntl(proof_fd, F_DUPFD_CLOEXEC, 3);
      return true;
    };
    std::string kept;
    Messages out(&kept);
    auto stop = std::make_shared<std::atomic<bool>>(false);
    const auto on_turn = [&](bool signalled) {
      if (signalled || stop_flag()->load()) stop->store(true);
      return true;
    };
    if (!glue::beside([&] { search_auto(a, out, read, stop); }, on_turn)) return nullptr;
    return PyBytes_FromStringAndSize(kept.data(), static_cast<Py_ssize_t>(kept.size()));
  });
}

// (why, ((member, weight, unit, opening), ...), growth, head, prep_rounds, line)
PyObject *plan_of(PyObject *module, PyObject *args) {
  PyObject *formula;
  unsigned long long slice;
  auto *formula_type = reinterpret_cast<PyTypeObject *>(glue::state<State>(module).objects[kFormulaType]);
  if (!PyArg_ParseTuple(args, "O!K:plan_of", formula_type, &formula, &slice)) return nullptr;
  return glue::with_native<kPolicy, FormulaState, glue::kExclusive>(formula, [&](FormulaState &o) -> PyObject * {
    const Features feat = features_of(o.nvars, o.f);
    const Plan p = choose_plan(feat, slice);
    const uint32_t prep = preprocess_first(feat);
    PyObject *members = glue::new_tuple_n(p.members.size(), [&](size_t i) {
      const Member &m = p.members[i];
      return glue::tuple_of(std::string_view(m.name), m.weight, m.unit, m.opening);
    });
    return glue::new_tuple(to_py(p.why), members, to_py(p.growth), to_py(p.head), to_py(prep),
                           to_py(prep ? describe_preprocess(feat, prep) : p.describe()));
  });
}

PyMethodDef plan_functions[] = {
    {"plan_of", entry<plan_of>, METH_VARARGS,
     "plan_of(formula, slice)\n--\n\nauto's plan for `formula` with `solve --slice` `slice`: (why, ((member, "
     "weight, unit, opening), ...), growth, head, preprocessing rounds first, the line the run prints)."},
    {"run_plan", entry<run_plan>, METH_VARARGS,
     "run_plan(argv, formula, proof_fd)\n--\n\nRun the search program's search (its arguments `argv`) over "
     "`formula`, the proof to descriptor `proof_fd` (-1: none); returns its messages but progress."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_plan_function(PyObject *module) { return PyModule_AddFunctions(module, plan_functions); }

}  // namespace qn::cli
