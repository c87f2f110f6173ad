// What `quillon-native solve` runs when its options name nothing else, in
// one place for both of its front ends (the native one, front_*.cpp, and the
// Python one, which reads these through _scan): the named configurations,
// the order in which --portfolio takes them, auto's probe, the rounds of
// --preprocess and the counters shown at the end of a run.
#pragma once

#include <cstdint>
#include <string_view>

namespace qn::cli {

inline constexpr uint32_t kDefaultRounds = 3;  // preprocessing rounds of --preprocess
// auto probes formulas of kProbeClauses clauses or more: the default
// searches kProbeConflicts conflicts alone first.
inline constexpr uint64_t kProbeClauses = 50000;
inline constexpr uint64_t kProbeConflicts = 5000;

// A named configuration: the Solver options that differ from the defaults,
// "option=value" joined by commas, each value as Python writes it (False,
// 0.95, 'glucose').
struct NamedConfig {
  std::string_view name;
  std::string_view options;
};

inline constexpr NamedConfig kNamedConfigs[] = {
    {"default", ""},
    {"glucose", "restart='glucose'"},
    {"minisat", "target_phase=False,var_decay=0.95,walk_patience=0,luby_base=100.0"},
    {"random", "rnd_freq=0.02,rnd_seed=7"},
    {"stable", "luby_base=512.0,target_reset=4,walk_interval=2"},
    {"glucose-random", "restart='glucose',rnd_freq=0.01,rnd_seed=123456789,init_phase=True"},
    {"no-walk", "walk_patience=0,block_restart=False,glue_keep=3"},
    {"basic-min", "ccmin='basic',first_reduce=4000,reduce_inc=600,rnd_seed=4242"},
    // glucose-random's phases and random decisions without restarts or
    // target phase: the pigeonhole solver of auto's at-most-one plan
    {"no-restart", "restart='none',target_phase=False,rnd_freq=0.01,rnd_seed=123456789,init_phase=True"},
};

// The order in which `solve --portfolio N` and `race` take configurations:
// the first N together solve the most of the measured corpus (bench/simulate.py).
inline constexpr std::string_view kPortfolioOrder[] = {"default", "glucose-random", "glucose", "minisat", "stable",
                                                       "no-walk", "random", "basic-min", "no-restart"};

// The counters a run shows at its end, in order: (counter, label).
struct ShownCounter {
  std::string_view name;
  std::string_view label;
};
inline constexpr ShownCounter kShownSolverCounters[] = {
    {"conflicts", "conflicts"},
    {"decisions", "decisions"},
    {"propagations", "propagations"},
    {"restarts", "restarts"},
    {"blocked_restarts", "blocked_restarts"},
    {"learned", "learned"},
    {"learned_lits", "learned_lits"},
    {"minimized_lits", "minimized_lits"},
    {"reductions", "reductions"},
    {"deleted", "deleted"},
    {"max_trail", "max_trail"},
};
inline constexpr ShownCounter kShownPrepCounters[] = {
    {"units", "units"},
    {"subsumed", "subsumed"},
    {"strengthened", "strengthened"},
    {"eliminated_vars", "eliminated vars"},
    {"resolvents", "resolvents"},
    {"pure", "pure"},
};

}  // namespace qn::cli
