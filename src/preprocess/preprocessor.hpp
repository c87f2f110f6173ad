// The preprocessor: an occurrence-list clause store with unit propagation,
// subsumption and self-subsuming resolution, pure literals, bounded variable
// elimination, a DRAT proof of every change and model reconstruction.
//
// Every pass changes the formula only through insert / remove / replace /
// grow (store.cpp), so occurrence lists, signatures and proof never disagree
// with the clause store.  Clause slots are never compacted: an id stays valid
// (live or empty) for the object's life.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/clause_scan.hpp"
#include "core/lit.hpp"
#include "core/proof_sink.hpp"

// The preprocessor's counters, listed once, in the order the command line
// shows them: the counters below, the module Preprocessor's properties and
// the command line's counter dicts and messages come from it.
#define QN_PREP_STATS(X) \
  X(units)               \
  X(subsumed)            \
  X(strengthened)        \
  X(eliminated_vars)     \
  X(resolvents)          \
  X(pure)

namespace qn::prep {

using ClauseId = uint32_t;

// Highest variable count whose literals are all distinct 32-bit values.
inline constexpr uint64_t kMaxVars = uint64_t{1} << 31;

// The module's Preprocessor defaults, which the command line's
// preprocessing uses too (the numbers as macros as well, for doc strings).
#define QN_PREP_MAX_RESOLVENT_LEN 20
#define QN_PREP_ROUNDS 3
inline constexpr bool kDefaultBve = true;
inline constexpr uint64_t kDefaultMaxResolventLen = QN_PREP_MAX_RESOLVENT_LEN;
inline constexpr uint32_t kDefaultRounds = QN_PREP_ROUNDS;

// One removed variable: the clauses taken out with it, for reconstruction.
// Stored flat: the clauses are clause_start[first .. first + count) of the
// preprocessor's elimination clause pool.
struct EliminationEntry {
  Var var;
  uint32_t first;  // index of its first clause in elim_clause_start_
  uint32_t count;  // number of clauses
};

// What add_clause did with a clause.
enum class AddOutcome {
  Stored,      // stored (possibly shortened against fixed values)
  Dropped,     // tautology or satisfied by a fixed value; nothing stored
  Refuted,     // every literal false under fixed values: unsat is now set
  Eliminated,  // mentions an eliminated variable: refused, nothing changed
};

// Result of reconstruct(): ok, or which failure at which variable.
struct ReconstructError {
  enum class Kind { None, BothPolarities, Failed } kind = Kind::None;
  Var var = 0;
};

// What the subsumption loop reads of a candidate, packed so that rejecting
// one costs a single cache line.
struct SlotInfo {
  uint64_t sig;   // OR of 1 << (var mod 64) over the literals
  uint32_t len;   // current length
  uint32_t live;  // 1 live, 0 empty
};

class Preprocessor {
 public:
  Preprocessor(bool do_bve, uint64_t max_resolvent_len, bool with_proof);

  // ---- facade (preprocessor.cpp) ------------------------------------------
  // Normalises `lits` (duplicates dropped, tautologies dropped), simplifies
  // it against fixed values and stores it.  On Eliminated, *bad is the
  // first eliminated variable; the object is unchanged.  Strong guarantee
  // against allocation failure (std::bad_alloc).
  AddOutcome add_clause(const std::vector<Lit> &lits, Var *bad);
  // Marks v as never to be removed by pure literals or elimination.
  void freeze(Var v);
  // Up to `rounds` rounds of propagate / subsume / pure / BVE / propagate;
  // false when the formula is refuted (unsat set).  A raised stop flag ends
  // the run early, between two whole changes: the clauses then hold what was
  // done so far, and reconstruction stays exact.
  bool run(uint32_t rounds);
  // The flag run() reads between changes; never set by the module.
  void set_stop(std::shared_ptr<std::atomic<bool>> stop) { stop_ = std::move(stop); }
  // Later passes revisit only what changed since the last pass of their
  // kind: subsumption the clauses over a variable whose clauses changed,
  // elimination those variables.  A run to a fixpoint over many rounds
  // then costs about one full pass, not one per round.  Off by default
  // (the module's preprocessor): each pass then takes every clause and
  // every variable, and its results depend on that order.
  void set_incremental(bool on) { incremental_ = on; }

  // ---- occurrence store (store.cpp) ---------------------------------------
  // Makes room for variables 0 .. n-1 (n at most kMaxVars).  Tables beyond
  // physical memory, like a failing allocation, throw std::bad_alloc
  // without any change.
  void grow(uint64_t n);
  // Undoes a grow to n variables whose tables are still empty beyond n.
  void shrink_vars(uint32_t n);
  void insert(const Lit *lits, uint32_t n, bool log);
  void remove(ClauseId id);
  void replace(ClauseId id, const Lit *lits, uint32_t n);
  // Unit propagation to fixpoint; false on conflict (unsat set).
  bool propagate();

  // ---- passes (subsume.cpp, eliminate.cpp) --------------------------------
  void subsume();
  void pure_literals();
  // False when an empty resolvent was derived (unsat set).
  bool eliminate_vars();

  // ---- model reconstruction (reconstruct.cpp) -----------------------------
  ReconstructError reconstruct(const std::vector<bool> &model, std::vector<bool> *out) const;

  // ---- read access --------------------------------------------------------
  uint32_t nvars() const { return nvars_; }
  bool unsat() const { return unsat_; }
  const std::vector<ProofStep> &proof() const { return proof_; }
  // Logging on, each step handed to `sink` instead of being kept.
  void stream_proof(ProofSink *sink) {
    with_proof_ = true;
    sink_ = sink;
  }
  uint32_t num_slots() const { return static_cast<uint32_t>(cl_start_.size()); }
  bool is_live(ClauseId id) const { return slots_[id].live != 0; }
  uint32_t clause_len(ClauseId id) const { return slots_[id].len; }
  const Lit *clause(ClauseId id) const { return arena_.data() + cl_start_[id]; }

  // Counters (only grow).
#define QN_PREP_STAT_FIELD(name) uint64_t name = 0;
  QN_PREP_STATS(QN_PREP_STAT_FIELD)
#undef QN_PREP_STAT_FIELD

 private:
  static uint64_t signature(const Lit *lits, uint32_t n);
  bool stop_requested() const { return stop_ && stop_->load(std::memory_order_relaxed); }
  void log_step(bool deletion, const Lit *lits, uint32_t n);
  void log_empty_clause();
  void hook_all(ClauseId id);               // adds id to the lists of its literals
  void unhook(ClauseId id, uint32_t k);     // swap-removes id from its k-th literal's list
  uint8_t lit_value(Lit l) const;   // kTrue / kFalse / kUnassigned under vals_
  bool touched_clause(ClauseId i) const;  // holds a variable touched since the last subsumption
  // Elimination helpers (eliminate.cpp).
  void push_entry(Var v, const std::vector<ClauseId> &a, const std::vector<ClauseId> &b);

  // ---- options ------------------------------------------------------------
  bool do_bve_;                  // run eliminate_vars in every round
  uint64_t max_resolvent_len_;   // longest resolvent BVE may add
  bool with_proof_;              // record DRAT steps
  bool incremental_ = false;     // later passes take only what changed (set_incremental)
  static constexpr int64_t subsume_budget_ = 2000000;  // candidate pairs per subsume pass

  // ---- clause slots (flat arena, never compacted) -------------------------
  std::vector<Lit> arena_;           // literals of every slot, back to back
  std::vector<uint32_t> occ_pos_;    // per arena literal: index of its clause in occs_[lit]
  std::vector<uint64_t> cl_start_;   // slot -> offset in arena_
  std::vector<SlotInfo> slots_;      // slot -> signature, length, liveness
  uint64_t live_empty_ = 0;          // live slots holding no literal

  // ---- per literal / per variable -----------------------------------------
  uint32_t nvars_ = 0;
  std::vector<std::vector<ClauseId>> occs_;  // literal -> ids of live clauses
  std::vector<uint8_t> vals_;                // variable -> kTrue / kFalse / 0
  std::vector<uint8_t> frozen_;              // variable -> frozen flag
  std::vector<uint8_t> eliminated_;          // variable -> removed by pure/BVE
  // variable -> its clauses changed since the last subsumption pass
  // (kTouchedSub) / elimination pass (kTouchedElim); kept with incremental_.
  std::vector<uint8_t> touched_;
  static constexpr uint8_t kTouchedSub = 1, kTouchedElim = 2;
  bool swept_sub_ = false, swept_elim_ = false;  // a whole pass of the kind has run
  void touch(const Lit *lits, uint32_t n) {
    if (!incremental_) return;
    for (uint32_t k = 0; k < n; ++k) touched_[var_of(lits[k])] = kTouchedSub | kTouchedElim;
  }

  // ---- elimination stack (flat) -------------------------------------------
  std::vector<EliminationEntry> elim_stack_;
  std::vector<uint64_t> elim_clause_start_;  // clause -> offset in elim_lits_
  std::vector<uint32_t> elim_clause_len_;    // clause -> length
  std::vector<Lit> elim_lits_;

  // ---- proof and status ---------------------------------------------------
  std::vector<ProofStep> proof_;
  ProofSink *sink_ = nullptr;        // steps go here instead of proof_ when set
  bool unsat_ = false;
  std::shared_ptr<std::atomic<bool>> stop_;

  // ---- scratch buffers, reused across calls -------------------------------
  std::vector<Lit> add_lits_;          // add_clause: normalised clause
  ClauseScan add_scan_;                // add_clause: duplicates and tautologies
  std::vector<Lit> tmp_lits_;          // propagate / subsume: shortened clause
  std::vector<Lit> prop_stack_;        // propagate: LIFO work stack
  std::vector<ClauseId> prop_ids_;     // propagate: copy of an occurrence list
  std::vector<ClauseId> sub_order_;    // subsume: ids by length
  std::vector<Lit> sub_c_;             // subsume: copy of the subsuming clause
  std::vector<ClauseId> sub_cands_;    // subsume: copy of a candidate list
  std::vector<uint8_t> mark_;          // per literal: in the current clause
  std::vector<Var> elim_cands_;        // eliminate: candidate order
  std::vector<uint64_t> elim_keys_;    // eliminate: occurrence product per var
  std::vector<ClauseId> elim_pos_;     // eliminate: copy of occs[2v]
  std::vector<ClauseId> elim_neg_;     // eliminate: copy of occs[2v+1]
  std::vector<Lit> res_lits_;          // eliminate: kept resolvents, flat
  std::vector<uint32_t> res_len_;      // eliminate: their lengths
  std::vector<Lit> res_tmp_;           // eliminate: resolvent being built
};

}  // namespace qn::prep
