// Forward DRAT proof checker.
//
// A Checker holds a growing clause set together with its top-level
// (decision-free) assignment, kept up to date by unit propagation over two
// watched literals, and answers whether a clause is a reverse-unit-
// propagation (RUP) consequence of the clauses present.  check_proof() runs a
// whole proof through one: additions are verified as RUP or, failing that,
// as RAT on their first literal; deletions remove the most recent copy of a
// clause, unless that clause is unit under the top-level assignment (one
// literal true, all others false), which keeps every top-level assignment
// justified whatever order propagation took.  Once propagation has refuted
// the clause set, the assignment stops wherever the conflict was met (an
// order-dependent place) and every addition is RUP: deletions then apply.
//
// Of the engine's other layers it sees only core (for the memory guard):
// nothing of the solver, the preprocessor or the Python binding.  Literals
// are `2 * var + negated`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace qn::checker {

using Lit = uint32_t;
using Var = uint32_t;

// Clauses back to back: clause i is lits[starts[i] .. starts[i + 1]).
struct ClauseList {
  std::vector<Lit> lits;
  std::vector<uint64_t> starts{0};

  size_t size() const { return starts.size() - 1; }
  std::span<const Lit> operator[](size_t i) const {
    return {lits.data() + starts[i], static_cast<size_t>(starts[i + 1] - starts[i])};
  }
  void push(std::span<const Lit> c) {
    lits.insert(lits.end(), c.begin(), c.end());
    close();
  }
  // Ends the clause made of the literals appended to `lits` since the last one.
  void close() { starts.push_back(lits.size()); }
};

// A DRAT proof: step i adds (deletion[i] == 0) or deletes clauses[i].
struct Proof {
  ClauseList clauses;
  std::vector<uint8_t> deletion;

  size_t size() const { return deletion.size(); }
  void push(bool is_deletion, std::span<const Lit> c) {
    clauses.push(c);
    deletion.push_back(is_deletion ? 1 : 0);
  }
};

struct Options {
  bool check_rat = true;        // try RAT when RUP fails
  bool apply_deletions = true;  // apply deletions of two or more literals
};

// The verdict of check_proof, field for field the result tuple of the
// Python function.
struct Verdict {
  bool ok = false;
  const char *message = "";
  uint64_t steps = 0;               // steps looked at, the last one included
  uint64_t rup = 0;                 // additions accepted as RUP
  uint64_t rat = 0;                 // additions accepted as RAT
  uint64_t deletions_applied = 0;
  uint64_t deletions_skipped = 0;   // unit/empty, absent, or unit at the top level
  uint64_t rat_resolvents = 0;      // resolvents checked for RUP
  int64_t failing_step = -1;        // 1-based, -1 when no step failed
  bool empty_derived = false;
};

extern const char kMsgRefutedInput[];
extern const char kMsgDerived[];
extern const char kMsgNoEmptyClause[];
extern const char kMsgNotRup[];
extern const char kMsgNotRupNorRat[];

// Runs `proof` against `formula` over `nvars` variables (grown on demand).
// Throws std::bad_alloc when memory runs out.
Verdict check_proof(uint32_t nvars, const ClauseList &formula, const Proof &proof, Options opts);

class Checker;

// One check fed piece by piece, as check_proof runs it: the formula's
// clauses, then start(), then the proof's steps, none of them kept.
// Throws std::bad_alloc when memory runs out.
class Run {
 public:
  Run(uint32_t nvars, Options opts);
  ~Run();
  Run(const Run &) = delete;
  Run &operator=(const Run &) = delete;

  // Sizes the checker for `nvars` variables and room for a formula of
  // `clauses` clauses of `lits` literals in all (hints).
  void reserve(uint32_t nvars, size_t clauses, size_t lits);
  void add_clause(std::span<const Lit> c);  // one clause of the formula
  void start();                             // the formula is complete
  // One proof step; steps after the verdict is decided are not looked at.
  void step(bool deletion, std::span<const Lit> c);
  // The same with the literals in `lits`, whose repeats it removes.
  void step(bool deletion, std::vector<Lit> &lits);
  // Whether the verdict is decided (refuted formula, empty clause or a
  // failing step), and the verdict: when undecided, the one of a proof
  // that ends here.
  bool decided() const { return decided_; }
  Verdict verdict() const;

 private:
  void check(bool deletion, std::span<const Lit> c);

  std::unique_ptr<Checker> ck_;
  Options opts_;
  Verdict v_;
  bool decided_ = false;
  std::vector<Lit> cur_;
};

// ---------------------------------------------------------------------------

class Checker {
 public:
  // Clause reference: offset of the clause's header in the arena.  Later
  // clauses have larger references, so they order clauses by insertion.
  using CRef = uint32_t;
  static constexpr CRef kNoRef = 0xFFFFFFFFu;

  Checker(uint32_t nvars, Options opts);

  // Sizes every per-literal array for the largest variable in `lits`, or
  // for `nvars` variables.
  void grow(std::span<const Lit> lits);
  void grow_vars(uint32_t nvars);
  // The literals sorted ascending without duplicates: what identifies a
  // clause for deletion.
  static std::vector<Lit> key(std::span<const Lit> lits);
  // Removes repeated literals in place (first occurrence kept, order
  // otherwise unchanged); returns the new length.  `lits` must be grown.
  size_t dedupe(Lit *lits, size_t n);
  // Room for `clauses` more clauses of `lits` literals in all (a hint).
  void reserve(size_t clauses, size_t lits);
  // Stores a clause (watches, index, occurrences); assigns nothing.  The
  // clauses of the formula are watched only by watch_formula().
  CRef insert(std::span<const Lit> lits);
  // Ends the formula: watches its clauses, each list sized once for all
  // of its entries.
  void watch_formula();
  // True when assuming every literal of `lits` false propagates to a
  // conflict (always, once the clause set is inconsistent).
  bool is_rup(std::span<const Lit> lits);
  // Unit propagation of the trail from position `from`; true on conflict.
  bool propagate(size_t from);

  // --- the steps of a check (driver) ---------------------------------------

  // Assigns the unit clauses of the formula and propagates; false when the
  // formula is refuted on the spot.
  bool assign_input_units();
  // RAT check of `c` on the pivot c[0]; counts resolvents in *resolvents.
  bool is_rat(std::span<const Lit> c, uint64_t *resolvents);
  // Stores an accepted lemma, reordered so that its watches are non-false,
  // and propagates it when it is unit.
  void add_lemma(std::span<const Lit> c);
  enum class Deletion { Applied, Skipped, Ignored };
  // A deletion step of two or more (distinct) literals.
  Deletion remove(std::span<const Lit> c);

  bool inconsistent() const { return inconsistent_; }
  void set_inconsistent() { inconsistent_ = true; }
  uint32_t num_vars() const { return nvars_; }
  size_t num_clauses() const { return num_clauses_; }
  uint8_t value(Lit l) const { return vals_[l]; }
  size_t trail_size() const { return trail_.size(); }

 private:
  // Arena layout of a clause at reference c: one header word (length, and
  // the deleted flag in the top bit), the literals, then two words for the
  // index (hash, next clause in the bucket chain).  Propagation reads only
  // the header and the literals.  References stay below 2^31 (kDeleted).
  static constexpr uint32_t kDeleted = 0x80000000u;
  static constexpr uint32_t kExtra = 3;  // words besides the literals

  // A watch of a clause of three or more literals: the clause, and one of
  // its literals other than the watched one (the blocker).  A true blocker
  // satisfies the clause without reading it.
  struct Watch {
    Lit blocker;
    CRef ref;
  };
  // A watch of a clause of three literals: the clause and both of its
  // other literals, in either order, so that a visit reads the clause only
  // to move the watch (when neither other literal is false).
  struct Ternary {
    Lit a, b;
    CRef ref;
  };

  Lit *lits_of(CRef c) { return arena_.data() + c + 1; }
  const Lit *lits_of(CRef c) const { return arena_.data() + c + 1; }
  uint32_t size_of(CRef c) const { return arena_[c] & ~kDeleted; }
  bool present(CRef c) const { return (arena_[c] & kDeleted) == 0; }
  uint32_t &hash_of(CRef c) { return arena_[c + 1 + size_of(c)]; }
  uint32_t &next_of(CRef c) { return arena_[c + 2 + size_of(c)]; }
  void assign(Lit l);
  bool unit_at_top(CRef c) const;
  static uint32_t hash(std::span<const Lit> lits);
  CRef find_latest(std::span<const Lit> lits, CRef *prev);
  void link(CRef c);
  void watch(CRef c);
  template <class T, class Key>
  void unwatch(std::vector<T> &ws, Lit x, uint64_t kind, uint32_t target, Key key);
  void rehash(size_t nbuckets);  // a power of two
  void build_occs();
  void collect();
  bool propagate_binary(Lit t);
  bool propagate_ternary(Lit t);
  bool propagate_long(Lit t, unsigned tier);

  // Assignment and propagation.
  std::vector<uint8_t> vals_;                 // per literal: 0 unassigned, 1 true, 2 false
  std::vector<Lit> trail_;                    // literals made true, in order
  // Per literal x, the clauses to visit when x becomes true (those that
  // watch ~x): binary clauses as their other literal, longer ones as
  // watches in tiers by length (the first tier, of clauses of three
  // literals, in lists of its own).  Propagation visits shorter clauses first:
  // one pending literal's clauses of a tier (binary clauses with the
  // first) only when no shorter tier has anything left to do.
  std::vector<std::vector<Lit>> binaries_;
  static constexpr unsigned kTiers = 4;
  static unsigned tier_of(uint32_t n) { return n <= 3 ? 0 : n <= 8 ? 1 : n <= 24 ? 2 : 3; }
  std::vector<std::vector<Ternary>> ternaries_;  // tier 0
  std::vector<std::vector<Watch>> watches_[kTiers];  // tiers 1 and up (0 unused)
  static constexpr uint64_t kBinary = kTiers;  // the kind of a binary list, after the tiers
  // Clause store.
  std::vector<uint32_t> arena_;               // clauses back to back, in insertion order
  size_t garbage_ = 0;                        // arena words held by deleted clauses
  size_t num_clauses_ = 0;                    // clauses ever inserted
  uint32_t nvars_ = 0;
  // Occurrence lists for RAT, built on first use; deleted clauses are
  // dropped from them when they are next read.
  std::vector<std::vector<CRef>> occs_;
  bool occs_ready_ = false;
  // Index: chained hash table over the present clauses (order-independent
  // hash of the literals), chained through each clause's next word.
  std::vector<CRef> buckets_;
  size_t indexed_ = 0;
  // Where each entry sits in a long watch list (`list`: its literal times
  // eight, plus its tier or kBinary; or none: kNoList), built when a
  // deletion has to look deep into that list, so that a run of deletions
  // from it (in any order) costs one pass over it rather than one search
  // per deletion.  Two tables, as a clause leaves two lists, which may both
  // be long; the older one is rebuilt for a third list.  Open addressing on
  // the entry's key, linear probing, kNoRef for an empty slot.  Only
  // deletions keep them up to date: every answer is checked against the list.
  static constexpr uint64_t kNoList = UINT64_MAX;
  struct Spots {
    uint64_t list = kNoList;
    std::vector<std::pair<uint32_t, uint32_t>> slots;
    size_t find(uint32_t key) const;
  };
  Spots spots_[2];
  unsigned older_spots_ = 0;
  // Set-up.
  std::vector<Lit> units_;                    // literals of the unit clauses, in insertion order
  bool formula_ = true;                       // clauses go in unwatched (the formula)
  bool inconsistent_ = false;
  Options opts_;
  // Scratch, reused across steps.
  std::vector<uint8_t> marks_;                // per literal
  std::vector<Lit> rat_resolvent_;
  std::vector<Lit> lemma_;
};

}  // namespace qn::checker
