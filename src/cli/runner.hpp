// The command line's native runner: one solver (after an optional
// preprocessor) over a formula, searched in conflict slices with its proof
// streamed to a file.  It makes the same calls on the cores as the Python
// path over the module (Solver or Preprocessor add_clause per clause, then
// solve(k) per slice), so searches, answers and proofs are the same.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "cli/proof_file.hpp"
#include "core/lit.hpp"
#include "preprocess/preprocessor.hpp"
#include "solver/solver.hpp"

namespace qn::cli {

// The preprocessor of `solve --preprocess` (the module's Preprocessor
// defaults) for `nvars` variables, its steps streamed to `proof` if given.
std::unique_ptr<prep::Preprocessor> make_preprocessor(uint32_t nvars, ProofFile *proof,
                                                      std::shared_ptr<std::atomic<bool>> stop);

class Runner {
 public:
  // `proof` may be null (no proof).  With `preprocess`, clauses go to a
  // preprocessor first and the solver is made by preprocess().
  Runner(uint32_t nvars, const Config &config, std::unique_ptr<ProofFile> proof, bool preprocess,
         std::shared_ptr<std::atomic<bool>> stop);

  // Adds an input clause (to the preprocessor while there is one); false
  // when a variable of it was eliminated (the preprocessor refuses it).
  bool add_clause(const Lit *lits, size_t n);

  // Runs the preprocessor; false when it refuted the formula.  The solver
  // then gets the reduced formula.
  bool preprocess(uint32_t rounds);
  const prep::Preprocessor *preprocessor() const { return pre_.get(); }

  // One slice: kSat, kUnsat or kUnknown.  The proof is flushed at the end.
  uint8_t solve(std::optional<uint64_t> max_conflicts, std::optional<std::chrono::steady_clock::time_point> deadline);
  uint8_t answer() const { return answer_; }
  // Incremental use (no preprocessor): a search under `assumptions`
  // (internal literals, their variables created when missing) that starts
  // again whatever the last answer was; clauses may be added between calls.
  // After kUnsat, failed() holds the failed assumptions (empty when the
  // formula itself is refuted).
  uint8_t solve_assuming(const std::vector<Lit> &assumptions, std::optional<uint64_t> max_conflicts,
                         std::optional<std::chrono::steady_clock::time_point> deadline);
  const std::vector<Lit> &failed() const;
  std::atomic<bool> *stop() const { return stop_.get(); }
  // The model over the input's variables (reconstructed after preprocessing).
  bool model(std::vector<bool> *out) const;

  const Solver *solver() const { return solver_.get(); }
  ProofFile *proof() { return proof_.get(); }
  uint32_t nvars() const;

 private:
  Config config_;
  std::unique_ptr<ProofFile> proof_;
  std::shared_ptr<std::atomic<bool>> stop_;
  std::unique_ptr<prep::Preprocessor> pre_;
  std::unique_ptr<Solver> solver_;
  std::vector<Lit> scratch_;
  uint8_t answer_ = kUnknown;
  bool refuted_ = false;  // by the preprocessor
};

}  // namespace qn::cli
