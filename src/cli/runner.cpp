#include "cli/runner.hpp"

#include <algorithm>
#include <utility>

namespace qn::cli {

std::unique_ptr<prep::Preprocessor> make_preprocessor(uint32_t nvars, ProofFile *proof,
                                                      std::shared_ptr<std::atomic<bool>> stop) {
  auto pre = std::make_unique<prep::Preprocessor>(prep::kDefaultBve, prep::kDefaultMaxResolventLen, proof != nullptr);
  if (proof) pre->stream_proof(proof);
  pre->set_stop(std::move(stop));
  pre->grow(nvars);
  return pre;
}

Runner::Runner(uint32_t nvars, const Config &config, std::unique_ptr<ProofFile> proof, bool preprocess,
               std::shared_ptr<std::atomic<bool>> stop)
    : config_(config), proof_(std::move(proof)), stop_(std::move(stop)) {
  if (preprocess) {
    pre_ = make_preprocessor(nvars, proof_.get(), stop_);
    return;
  }
  solver_ = std::make_unique<Solver>(nvars, config_);
  if (proof_) solver_->stream_proof(proof_.get());
  solver_->set_stop(stop_);
}

bool Runner::add_clause(const Lit *lits, size_t n) {
  if (solver_) {
    solver_->add_clause(lits, n);
    return true;
  }
  scratch_.assign(lits, lits + n);
  Var bad = 0;
  return pre_->add_clause(scratch_, &bad) != prep::AddOutcome::Eliminated;
}

bool Runner::preprocess(uint32_t rounds) {
  if (!pre_->run(rounds)) {
    refuted_ = true;
    answer_ = kUnsat;
    if (proof_) proof_->flush();
    return false;
  }
  solver_ = std::make_unique<Solver>(pre_->nvars(), config_);
  if (proof_) solver_->stream_proof(proof_.get());
  solver_->set_stop(stop_);
  for (prep::ClauseId i = 0; i < pre_->num_slots(); ++i) {
    if (pre_->is_live(i)) solver_->add_clause(pre_->clause(i), pre_->clause_len(i));
  }
  if (proof_) proof_->flush();
  return true;
}

uint8_t Runner::solve(std::optional<uint64_t> max_conflicts,
                      std::optional<std::chrono::steady_clock::time_point> deadline) {
  if (answer_ != kUnknown) return answer_;
  solver_->set_deadline(deadline);
  answer_ = solver_->solve(max_conflicts);
  solver_->set_deadline(std::nullopt);
  if (proof_) proof_->flush();
  return answer_;
}

uint8_t Runner::solve_assuming(const std::vector<Lit> &assumptions, std::optional<uint64_t> max_conflicts,
                               std::optional<std::chrono::steady_clock::time_point> deadline) {
  uint64_t need = 0;
  for (Lit p : assumptions) need = std::max<uint64_t>(need, uint64_t{var_of(p)} + 1);
  solver_->ensure_vars(need);
  solver_->set_assumptions(assumptions.data(), assumptions.size());
  solver_->set_deadline(deadline);
  answer_ = solver_->solve(max_conflicts);
  solver_->set_deadline(std::nullopt);
  solver_->set_assumptions(nullptr, 0);
  if (proof_) proof_->flush();
  return answer_;
}

const std::vector<Lit> &Runner::failed() const {
  static const std::vector<Lit> kNone;
  return solver_ ? solver_->failed() : kNone;
}

bool Runner::model(std::vector<bool> *out) const {
  if (answer_ != kSat) return false;
  if (!pre_) {
    *out = solver_->model();
    return true;
  }
  return pre_->reconstruct(solver_->model(), out).kind == prep::ReconstructError::Kind::None;
}

uint32_t Runner::nvars() const { return solver_ ? solver_->nvars() : pre_->nvars(); }

}  // namespace qn::cli
