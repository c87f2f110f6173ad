// Solver state: construction, variables, input clauses, watches.
#include "core/panic.hpp"
#include "solver/solver.hpp"

namespace qn {

Solver::Solver(uint32_t nvars, const Config &config)
    : var_decay_now_(config.var_decay), rng_(config.rnd_seed), next_reduce_(config.first_reduce), config_(config) {
  for (uint32_t i = 0; i < nvars; ++i) new_var();
}

Var Solver::new_var() { QN_PANIC("not yet"); }
bool Solver::add_clause(const Lit *, size_t) { QN_PANIC("not yet"); }
std::vector<std::string> Solver::check_watch_invariant() const { QN_PANIC("not yet"); }
uint8_t Solver::solve(std::optional<uint64_t>) { QN_PANIC("not yet"); }

}  // namespace qn
