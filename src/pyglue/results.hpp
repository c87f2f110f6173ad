// The Python forms of the cores' results that both modules hand out.
#pragma once

#include <initializer_list>
#include <utility>

#include "checker/checker.hpp"
#include "preprocess/preprocessor.hpp"
#include "pyglue/ref.hpp"
#include "solver/stats.hpp"

namespace qn::glue {

// (ok, message, steps, rup, rat, deletions_applied, deletions_skipped,
//  rat_resolvents, failing_step, empty_derived)
inline PyObject *verdict_tuple(const checker::Verdict &v) {
  return tuple_of(v.ok, v.message, v.steps, v.rup, v.rat, v.deletions_applied, v.deletions_skipped,
                  v.rat_resolvents, v.failing_step, v.empty_derived);
}

// {name: count} in the order given.
inline PyObject *counters(std::initializer_list<std::pair<const char *, uint64_t>> items) {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  for (const auto &[name, value] : items) {
    Ref v(to_py(value));
    if (!v || PyDict_SetItemString(d.get(), name, v.get()) < 0) return nullptr;
  }
  return d.release();
}

inline PyObject *solver_counters(const Stats &s) {
#define QN_STAT_ITEM(name, shown_at) {#name, s.name},
  return counters({QN_SOLVER_STATS(QN_STAT_ITEM)});
#undef QN_STAT_ITEM
}

inline PyObject *prep_counters(const prep::Preprocessor &p) {
#define QN_PREP_STAT_ITEM(name) {#name, p.name},
  return counters({QN_PREP_STATS(QN_PREP_STAT_ITEM)});
#undef QN_PREP_STAT_ITEM
}

}  // namespace qn::glue
