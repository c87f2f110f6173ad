// The CDCL search core: two watched literals with blocking literals, first-UIP
// learning with minimisation, Luby or glucose-style restarts with restart
// blocking, glue-based reduction, root simplification, a probSAT walk that
// refreshes the phases, and DRAT logging.  Plain C++: nothing here knows
// about Python.  Runs are reproducible: the same clauses and options give
// the same decisions, conflicts, learned clauses, model and proof.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/clause_scan.hpp"
#include "core/lit.hpp"
#include "core/proof_sink.hpp"
#include "solver/config.hpp"
#include "solver/stats.hpp"
#include "solver/watch_list.hpp"

namespace qn {

// Result codes of Solver::solve.
inline constexpr uint8_t kUnsat = 0;
inline constexpr uint8_t kSat = 1;
inline constexpr uint8_t kUnknown = 2;

using CRef = uint32_t;             // index into the clause table
// A reason (or a conflict) is the arena offset of its clause's first
// literal, kept as int32_t bits, so that analysis reaches the literals
// without the clause table.  Offsets stay below 2^32 - 2, so no offset has
// the bits of kNoReason.
inline constexpr int32_t kNoReason = -1;

// Exponential moving average whose smoothing factor starts at 1 and halves
// at updates 1, 3, 7, 15, ... until it is no longer above `alpha`.
struct Ema {
  double value = 0.0, alpha, beta = 1.0;
  uint64_t wait = 0, period = 0;
  explicit Ema(double a) : alpha(a) {}
  void update(double x) {
    value += beta * (x - value);
    if (beta > alpha && wait == 0) {
      period = 2 * period + 1;
      beta *= 0.5;
      wait = period;
    } else if (wait > 0) {
      --wait;
    }
  }
};

class Solver {
 public:
  Solver(uint32_t nvars, const Config &config);

  // --- state.cpp: variables, clauses, accessors --------------------------
  // Bytes of the per-variable tables for `nvars` variables (saturating),
  // for the memory guard: sizes beyond physical memory are refused with
  // std::bad_alloc before anything is reserved.
  static uint64_t table_bytes(uint64_t nvars);
  Var new_var();
  // Adds an input clause; false once the formula is refuted (now or before).
  // Creating variables first reserves every per-variable array, so a
  // std::bad_alloc leaves the solver unchanged.
  bool add_clause(const Lit *lits, size_t n);
  bool used() const { return used_; }
  bool ok() const { return ok_; }
  uint32_t nvars() const { return nvars_; }
  const Stats &stats() const { return stats_; }
  const Config &config() const { return config_; }
  const std::vector<bool> &model() const { return model_; }
  std::vector<bool> take_model() { return std::move(model_); }
  // Violations of the two-watched-literal scheme, empty when it holds.
  std::vector<std::string> check_watch_invariant() const;

  // --- search.cpp ----------------------------------------------------------
  // 0 unsat, 1 sat, 2 unknown (conflict limit of this call, deadline, stop).
  uint8_t solve(std::optional<uint64_t> max_conflicts);
  void set_deadline(std::optional<std::chrono::steady_clock::time_point> d) { deadline_ = d; }
  // Read (relaxed) once per conflict.
  void set_stop(std::shared_ptr<std::atomic<bool>> stop) { stop_ = std::move(stop); }

  // --- assume.cpp: incremental solving under assumptions ---------------------
  // The literals the following solve() calls take as true (each variable
  // must exist; a literal repeated is kept once).  Empty, the search is the
  // plain one.  An unsat answer with a non-empty failed() refutes only the
  // assumptions: ok() stays true, the proof gets no empty clause, and the
  // solver takes clauses and calls as before.
  void set_assumptions(const Lit *lits, size_t n);
  // Creates variables up to `n` (reserving first, as add_clause does).
  void ensure_vars(uint64_t n);
  // After solve() answered unsat under assumptions: the assumptions that
  // together with the formula imply the negation of the first one found
  // false (that one first; with failed_lowest, of the assumptions false at
  // that point the first one falsified at the lowest level).  Empty after
  // any other answer.
  const std::vector<Lit> &failed() const { return failed_; }

  // --- proof log (record() in state.cpp) -----------------------------------
  void enable_proof() { proof_enabled_ = true; }
  // Logging on, each step handed to `sink` (which must outlive the solver's
  // searches) instead of being kept: proof() stays empty.
  void stream_proof(ProofSink *sink) {
    proof_enabled_ = true;
    sink_ = sink;
  }
  bool proof_enabled() const { return proof_enabled_; }
  const std::vector<ProofStep> &proof() const { return proof_; }
  std::vector<ProofStep> take_proof() { return std::move(proof_); }

  // --- walk.cpp: bookkeeping, for callers that want to observe it ---------
  uint64_t best_walk_unsat() const { return best_walk_unsat_; }
  uint64_t walk_stalls() const { return walk_stalls_; }
  // Walk effort, for benchmarks; not one of the statistics above.
  struct WalkEffort {
    uint64_t walks = 0, flips = 0;
    double seconds = 0.0;
  };
  const WalkEffort &walk_effort() const { return walk_effort_; }
  // Vivification effort (vivify on), for benchmarks and tests; not one of
  // the statistics above.
  struct VivifyEffort {
    uint64_t rounds = 0, tried = 0, shortened = 0, removed_lits = 0, units = 0, propagations = 0;
  };
  const VivifyEffort &vivify_effort() const { return vivify_effort_; }

 private:
  // A clause in the arena is laid out as [cref, len, lit0, lit1, ...]; the
  // header's `start` indexes lit0, so propagation reaches the length and the
  // literals through one offset without touching the header table.  The
  // length lives only in the arena (len_of).
  struct ClauseHeader {
    double activity;
    uint32_t start;
    uint32_t glue : 29;  // at most the number of decision levels, below 2^29 in practice
    uint32_t learnt : 1;
    uint32_t deleted : 1;
    uint32_t vivified : 1;  // vivify: tried once already
  };
  static constexpr uint32_t kMaxGlue = (1u << 29) - 1;
  static_assert(sizeof(ClauseHeader) == 16);
  // `off` is the arena offset of the clause's first literal.  A binary
  // clause's watch has the other literal as its blocker, with kBinary set:
  // propagation then settles the clause without reading the arena.  The bit
  // is free because the solver keeps fewer than kMaxVars variables, so its
  // literals stay below 2^31.
  struct Watch {
    uint32_t off;
    Lit blocker;
  };
  static constexpr Lit kBinary = 1u << 31;
  static constexpr uint64_t kMaxVars = uint64_t{1} << 30;
  static constexpr uint32_t kArenaHead = 2;  // cref and len before lit0
  // The arena's cref word of a learned clause has this bit set, so that
  // analysis passes over input clauses without the clause table.  Clause
  // numbers stay below 2^31 (the table is capped at INT32_MAX).
  static constexpr uint32_t kLearntTag = 1u << 31;
  static CRef cref_of(uint32_t word) { return word & ~kLearntTag; }

  // --- state.cpp -------------------------------------------------------------
  uint8_t value(Lit p) const { return values_[p]; }
  uint32_t decision_level() const { return static_cast<uint32_t>(trail_lim_.size()); }
  void assign(Lit p, int32_t why) {  // p true at the current level
    values_[p] = kTrue;
    values_[p ^ 1] = kFalse;
    const Var v = var_of(p);
    vardata_[v].level = decision_level();
    vardata_[v].reason = why;
    trail_.push_back(p);
  }
  void reserve_vars(uint64_t n);  // every per-variable array, largest first
  uint32_t len_of(const ClauseHeader &h) const { return lits_[h.start - 1]; }
  CRef store_clause(const Lit *lits, uint32_t n, bool learnt, double activity, uint32_t glue);
  void attach(CRef c);
  void detach(CRef c);
  bool locked(CRef c) const;

  // --- propagate.cpp ---------------------------------------------------------
  int32_t propagate();  // conflicting clause (arena offset) or kNoReason
  template <bool kSearchPos>
  int32_t propagate_with();  // propagate(), with or without search_pos
  // A clause at least this long keeps its watch-search position (search_pos).
  static constexpr uint32_t kPosMinLen = 8;
  // With search_pos: the index of a literal of c[2..len) that is not false,
  // or len, searching from the clause's saved position round to it.
  uint32_t search_from_pos(const Lit *c, uint32_t len, const uint8_t *vals);
  void cancel_until(uint32_t level);

  // --- heap.cpp (order heap; ties go to the smaller variable) --------------
  // A heap entry carries a copy of its variable's activity, so that sifting
  // compares neighbouring entries without reaching into activity_.
  struct HeapEntry {
    double activity;
    Var var;
  };
  static bool heap_above(const HeapEntry &a, const HeapEntry &b) {
    return a.activity > b.activity || (a.activity == b.activity && a.var < b.var);
  }
  bool heap_contains(Var v) const { return v < heap_index_.size() && heap_index_[v] >= 0; }
  void heap_insert(Var v);
  // Puts v (absent) at the end of the heap without ordering it; heap_build
  // then orders the whole heap at once.
  void heap_append(Var v);
  void heap_build();
  void heap_up(uint32_t i);
  void heap_down(uint32_t i);
  Var heap_pop();

  // --- analyze.cpp -----------------------------------------------------------
  void visit_clause(uint32_t cref_word);
  void bump_var(Var v);
  uint32_t analyze(int32_t conflict);  // fills learnt_, returns backjump level
  bool redundant(Lit p, uint32_t abstract);
  void bump_reason_side();
  uint32_t compute_glue(const Lit *lits, size_t n);
  void learn(uint32_t backjump, uint32_t glue);

  // --- search.cpp ------------------------------------------------------------
  uint32_t next_random() {
    uint32_t x = rng_;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    rng_ = x;
    return x;
  }
  static double to_unit(uint32_t x) { return x * 2.3283064365386963e-10; }
  // floor(x * 2^-32 * n) for the next draw x: an index below n.
  size_t random_index(size_t n) { return static_cast<size_t>(to_unit(next_random()) * static_cast<double>(n)); }
  void update_target();
  bool decide();  // false when every variable is assigned
  std::optional<uint8_t> descend(uint64_t n, int32_t *confl);
  std::optional<uint8_t> propagate_at_limit(int32_t *confl);
  std::optional<uint8_t> on_conflict(int32_t confl, uint64_t &n);

  // --- assume.cpp ------------------------------------------------------------
  bool assume();  // opens the next assumption's level; false when it is false
  void analyze_final(Lit p);
  // failed_lowest: of `p` (false, at the current level's turn) and the
  // assumptions after it, the first one falsified at the lowest level.
  Lit lowest_false_assumption(Lit p) const;
  // The techniques of keep_assumed and search_pos act in this call.
  bool assuming_with(bool option) const { return option && !assumptions_.empty(); }
  // keep_assumed: the levels a new call keeps (its leading assumptions that
  // the trail's assumption levels hold, in order); then remembers this call's.
  uint32_t shared_assumption_levels();
  // The level a restart goes back to.
  uint32_t restart_level() const;

  // --- restart.cpp -----------------------------------------------------------
  static double luby(uint64_t k);  // k-th term (from 0) of 1 1 2 1 1 2 4 ...
  bool restart_due() const;
  void restart();
  void update_restart_state(uint32_t glue);  // averages and restart blocking

  // --- reduce.cpp ------------------------------------------------------------
  void reduce_db();
  bool simplify();
  bool simplify_list(std::vector<CRef> &list);
  void maybe_collect_garbage();

  // --- vivify.cpp ------------------------------------------------------------
  // At the root: vivifies when a reduction came since the last round.
  // False when the formula is refuted.
  bool maybe_vivify();
  bool vivify_round();
  void vivify_schedule();  // a round's clauses, in order, into vivify_cands_
  // One clause: its shortened form in vivify_out_, or false when nothing
  // shorter was found.  Leaves the solver at the root.
  bool vivify_clause(CRef c);
  // The clause literals whose negated decisions the assignment of the
  // variables marked in seen_ rests on, into vivify_out_; clears seen_.
  void vivify_decisions();
  // Back to the root, the saved phases untouched.
  void vivify_undo();
  // Replaces clause c by vivify_out_ (logged); false on a root refutation.
  bool vivify_replace(CRef c);

  // --- walk.cpp --------------------------------------------------------------
  void maybe_walk();
  void walk();
  bool walk_build();
  void walk_start();
  Var walk_pick();
  void walk_flip(Var v);
  void walk_finish(uint64_t best_count);

  // --- proof log (state.cpp) -------------------------------------------------
  // One flag test when logging is off; the literals are copied only when on.
  void log_add(const Lit *lits, size_t n) {
    if (proof_enabled_) record(false, lits, n);
  }
  void log_delete(const Lit *lits, size_t n) {
    if (proof_enabled_) record(true, lits, n);
  }
  void record(bool deletion, const Lit *lits, size_t n);
  // The formula is refuted: the empty clause goes to the proof, for good.
  void refute() {
    log_add(nullptr, 0);
    ok_ = false;
  }

  // Clause store.
  std::vector<Lit> lits_;                // arena: [cref, len, lits...] per clause
  size_t wasted_ = 0;                    // arena words of deleted clauses and cut tails
  std::vector<ClauseHeader> headers_;    // clause table, indexed by CRef
  std::vector<CRef> inputs_;             // live input clauses
  std::vector<CRef> learnts_;            // live learned clauses

  // Assignment.
  std::vector<uint8_t> values_;          // per literal: 0 / kTrue / kFalse
  // Per variable, side by side since analysis reads both: the reason
  // (kNoReason or the clause's arena offset) and the decision level.
  struct VarData {
    int32_t reason;
    uint32_t level;
  };
  std::vector<VarData> vardata_;
  std::vector<Lit> trail_;
  std::vector<uint32_t> trail_lim_;
  size_t qhead_ = 0;
  std::vector<WatchList<Watch>> watches_;  // per literal: clauses watching its negation

  // Heuristics.
  std::vector<double> activity_;
  std::vector<HeapEntry> heap_;
  std::vector<int32_t> heap_index_;
  std::vector<uint8_t> phase_;           // saved phase, 1 = positive
  std::vector<uint8_t> target_;          // target phase, 1 = positive
  double var_inc_ = 1.0, cla_inc_ = 1.0, var_decay_now_;
  uint64_t target_len_ = 0, target_copied_ = 0;
  Ema lbd_fast_{0.02}, lbd_slow_{0.0002}, trail_avg_{0.0002};
  uint64_t luby_index_ = 0, last_restart_ = 0;
  double luby_limit_;                    // luby_base * luby(luby_index_): conflicts to the next Luby restart
  uint32_t rng_;

  // Analysis scratch (reused across conflicts).
  std::vector<uint8_t> seen_;
  std::vector<Lit> toclear_;
  std::vector<Var> poisoned_;            // minimisation: literals known not to be implied
  std::vector<uint64_t> level_stamp_;
  uint64_t stamp_ = 0;
  std::vector<Lit> learnt_;
  std::vector<Lit> stack_;

  // Reduction and simplification.
  uint64_t next_reduce_, reduce_count_ = 0, simplify_props_ = 0;
  size_t simplify_root_trail_ = SIZE_MAX;  // root trail length at the last full simplify
  std::vector<CRef> candidates_;
  std::vector<uint8_t> watch_dirty_;     // per literal, lists to clean after a reduction
  std::vector<Lit> dirty_lists_;
  std::vector<Lit> add_buf_;             // add_clause / simplify scratch
  ClauseScan add_scan_;                  // add_clause: duplicates and tautologies

  // Walk.
  uint64_t best_walk_unsat_ = UINT64_MAX, walk_stalls_ = 0;
  WalkEffort walk_effort_;
  std::vector<uint32_t> wk_start_;       // per walk clause, its arena offset
  std::vector<uint32_t> wk_occ_start_;   // per literal (+1 sentinel), CSR
  std::vector<uint32_t> wk_occ_;         // clause numbers, increasing per literal
  std::vector<uint8_t> wk_assign_, wk_best_;
  // Per walk clause: how many of its literals are true, and the XOR of the
  // variables of those literals (the variable of the only true literal when
  // the count is 1).
  struct WalkCount {
    uint32_t true_lits;
    Var xor_vars;
  };
  std::vector<WalkCount> wk_count_;
  std::vector<uint32_t> wk_break_;       // per variable: clauses whose only true literal is its
  std::vector<uint32_t> wk_unsat_;       // unsatisfied clause numbers
  std::vector<uint32_t> wk_pos_;         // position in wk_unsat_, or all ones
  std::vector<Var> wk_flipped_;          // flips since `best` was last brought up to date
  std::vector<Var> wk_cand_;
  std::vector<double> wk_weight_;

  // Vivification.
  VivifyEffort vivify_effort_;
  uint64_t vivified_at_reduce_ = 0;      // reduce_count_ at the last round
  uint64_t vivify_props_ = 0;            // search propagations at the last round
  std::vector<CRef> vivify_cands_;
  std::vector<Lit> vivify_lits_;         // the clause being vivified, as it was
  std::vector<Lit> vivify_out_;          // its shortened form

  // Assumptions (decided first, one level each) and the failed ones.
  std::vector<Lit> assumptions_;
  std::vector<Lit> failed_;
  std::vector<Lit> trail_assumed_;       // keep_assumed: the assumptions of the trail's first levels
  std::vector<uint32_t> search_pos_;     // search_pos: per clause, where its last watch search stopped

  // Answer, proof, limits.
  std::vector<bool> model_;
  std::vector<ProofStep> proof_;
  ProofSink *sink_ = nullptr;            // steps go here instead of proof_ when set
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  std::shared_ptr<std::atomic<bool>> stop_;

  Config config_;
  Stats stats_;
  uint32_t nvars_ = 0;
  bool ok_ = true;
  bool proof_enabled_ = false;
  bool used_ = false;
};

}  // namespace qn
