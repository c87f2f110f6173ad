// The checker's clause store, index and unit propagation.
#include "checker/checker.hpp"

#include <algorithm>
#include <cassert>
#include <new>
#include <stdexcept>

#include "core/memory.hpp"

namespace qn::checker {

namespace {

constexpr uint8_t kUnassigned = 0;
constexpr uint8_t kTrue = 1;
constexpr uint8_t kFalse = 2;

inline uint32_t mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x85ebca6bu;
  x ^= x >> 13;
  x *= 0xc2b2ae35u;
  x ^= x >> 16;
  return x;
}

}  // namespace

Checker::Checker(uint32_t nvars, Options opts) : opts_(opts) {
  grow_vars(nvars);
  buckets_.assign(1024, kNoRef);
}

// ---------------------------------------------------------------------------
// Sizing.

void Checker::grow_vars(uint32_t need) {
  if (need <= nvars_) return;
  const uint64_t nlits = 2ull * need;
  const uint64_t per_lit = 2 + sizeof(std::vector<CRef>) * (occs_ready_ ? 2 : 1);
  // The per-literal arrays are sized up front for the largest variable seen,
  // so a single huge literal asks for gigabytes at once.
  require_memory(nlits * per_lit + 2ull * sizeof(CRef) * need);
  vals_.resize(nlits, kUnassigned);
  marks_.resize(nlits, 0);
  watches_.resize(nlits);
  if (occs_ready_) occs_.resize(nlits);
  reasons_.resize(need, kNoRef);
  // Every variable is on the trail at most once: propagation never
  // reallocates it.  (Geometric, as proofs may add a variable per step.)
  if (trail_.capacity() < need) trail_.reserve(std::max<size_t>(need, 2 * trail_.capacity()));
  nvars_ = need;
}

void Checker::grow(std::span<const Lit> lits) {
  Lit top = 0;
  bool any = false;
  for (const Lit l : lits) {
    top = std::max(top, l);
    any = true;
  }
  if (any) grow_vars((top >> 1) + 1);
}

std::vector<Lit> Checker::key(std::span<const Lit> lits) {
  std::vector<Lit> k(lits.begin(), lits.end());
  std::sort(k.begin(), k.end());
  k.erase(std::unique(k.begin(), k.end()), k.end());
  return k;
}

size_t Checker::dedupe(Lit *lits, size_t n) {
  size_t w = 0;
  for (size_t r = 0; r < n; ++r) {
    const Lit l = lits[r];
    if (marks_[l]) continue;
    marks_[l] = 1;
    lits[w++] = l;
  }
  for (size_t k = 0; k < w; ++k) marks_[lits[k]] = 0;
  return w;
}

// ---------------------------------------------------------------------------
// Store and index.
//
// A clause's key is its sorted literal set.  Stored clauses are duplicate-
// free (the driver removes repeats first), so two clauses share a key
// exactly when they have the same length and one's literals all occur in
// the other.  The index therefore hashes the literal set with a sum of
// mixed literals, which needs no sorting, and compares candidates with the
// literal marks.

uint32_t Checker::hash(std::span<const Lit> lits) {
  uint32_t h = 0;
  for (const Lit l : lits) h += mix(l + 1);
  return h;
}

void Checker::link(CRef r) {
  CRef &head = buckets_[hash_of(r) & (buckets_.size() - 1)];
  next_of(r) = head;
  head = r;
}

// Bucket chains run from the most recent clause to the oldest: clauses are
// linked at the head in insertion order, here as on insertion.
void Checker::rehash(size_t nbuckets) {
  buckets_.assign(nbuckets, kNoRef);
  for (size_t r = 0; r < arena_.size(); r += size_of(static_cast<CRef>(r)) + kExtra)
    if (present(static_cast<CRef>(r))) link(static_cast<CRef>(r));
}

void Checker::reserve(size_t clauses, size_t lits) {
  arena_.reserve(arena_.size() + lits + kExtra * clauses);
  size_t want = buckets_.size();
  while (want < indexed_ + clauses) want *= 2;
  if (want > buckets_.size()) rehash(want);
}

Checker::CRef Checker::insert(std::span<const Lit> c) {
  grow(c);
  const size_t n = c.size();
  // References and lengths are 32-bit (the length shares its word with the
  // deleted flag).
  if (arena_.size() + kExtra + n >= kNoRef || n >= kDeleted) throw std::bad_alloc();
  if (indexed_ >= buckets_.size()) rehash(2 * buckets_.size());  // before r is in the arena
  const CRef r = static_cast<CRef>(arena_.size());
  arena_.push_back(static_cast<uint32_t>(n));
  arena_.insert(arena_.end(), c.begin(), c.end());
  arena_.push_back(hash(c));
  arena_.push_back(kNoRef);
  link(r);
  ++indexed_;
  if (n >= 2) {
    watches_[c[0] ^ 1].push_back(r);
    watches_[c[1] ^ 1].push_back(r);
  } else if (n == 1) {
    units_.push_back(r);
  }
  if (occs_ready_)
    for (const Lit l : c) occs_[l].push_back(r);
  ++num_clauses_;
  return r;
}

// The most recent present clause with the key of `c`, or kNoRef; *prev is
// its predecessor in the bucket chain (kNoRef at the head).
Checker::CRef Checker::find_latest(std::span<const Lit> c, CRef *prev) {
  const uint32_t h = hash(c);
  const uint32_t n = static_cast<uint32_t>(c.size());
  for (const Lit l : c) marks_[l] = 1;
  CRef best = kNoRef, before = kNoRef;
  for (CRef p = kNoRef, r = buckets_[h & (buckets_.size() - 1)]; r != kNoRef; p = r, r = next_of(r)) {
    assert(p == kNoRef || r < p);
    if (size_of(r) != n || hash_of(r) != h) continue;
    const Lit *d = lits_of(r);
    uint32_t k = 0;
    while (k < n && marks_[d[k]]) ++k;
    if (k == n) {  // the first match is the most recent copy
      best = r;
      before = p;
      break;
    }
  }
  for (const Lit l : c) marks_[l] = 0;
  assert(best == kNoRef || key({lits_of(best), n}) == key(c));
  *prev = before;
  return best;
}

// A clause that made a literal of the top-level trail true (it sits at
// position 0 of its reason for good: that literal never turns false, so
// propagation never moves it).  Deleting it would keep the assignment while
// dropping its justification, and RAT could then accept non-implied
// clauses, so such deletions are not applied.
bool Checker::is_reason(CRef r) const {
  if (size_of(r) == 0) return false;
  const Lit l = arena_[r + 1];
  return vals_[l] == kTrue && reasons_[l >> 1] == r;
}

Checker::Deletion Checker::remove(std::span<const Lit> c) {
  if (!opts_.apply_deletions) return Deletion::Ignored;
  CRef prev;
  const CRef r = find_latest(c, &prev);
  if (r == kNoRef || is_reason(r)) return Deletion::Skipped;
  if (prev == kNoRef)
    buckets_[hash_of(r) & (buckets_.size() - 1)] = next_of(r);
  else
    next_of(prev) = next_of(r);
  --indexed_;
  const uint32_t n = size_of(r);
  if (n >= 2) {
    unwatch(r, lits_of(r)[0] ^ 1);
    unwatch(r, lits_of(r)[1] ^ 1);
  }
  // Occurrence lists shed deleted clauses when they are next read.
  arena_[r] |= kDeleted;
  garbage_ += n + kExtra;
  // Collection visits every watch list: wait for enough garbage to pay for it.
  if (garbage_ > (1u << 16) && garbage_ > arena_.size() / 2 && garbage_ > 2ull * nvars_) collect();
  return Deletion::Applied;
}

namespace {

inline size_t spot_hash(uint32_t c, size_t mask) { return mix(c) & mask; }

}  // namespace

// The slot of clause c in the table of watches_[spotted_].
size_t Checker::spot(CRef c) {
  const size_t mask = spots_.size() - 1;
  size_t i = spot_hash(c, mask);
  while (spots_[i].first != c && spots_[i].first != kNoRef) i = (i + 1) & mask;
  return i;
}

// Takes clause c out of watches_[x]: the list's last entry fills the hole.
// The place is searched from both ends, which finds it at once when
// clauses go in the order they came or in the reverse one; more than
// kSearch steps deep into a long list, the table of places answers (a
// scan that short costs less than building a table, which proofs that
// delete from many lists in turn would keep rebuilding).  Propagation and insertion
// change lists without telling the table, so its answer is checked, and
// the table rebuilt when it is wrong.
void Checker::unwatch(CRef c, Lit x) {
  constexpr size_t kSearch = 1024;
  std::vector<CRef> &ws = watches_[x];
  size_t at = ws.size();
  if (spotted_ == x) {
    const auto [ref, pos] = spots_[spot(c)];
    if (ref == c && pos < ws.size() && ws[pos] == c) at = pos;
  }
  if (at == ws.size()) {
    size_t lo = 0, hi = ws.size();
    for (size_t steps = 0; lo < hi && steps < kSearch; ++steps, ++lo, --hi) {
      if (ws[lo] == c) {
        at = lo;
        break;
      }
      if (ws[hi - 1] == c) {
        at = hi - 1;
        break;
      }
    }
    if (at == ws.size() && lo < hi) {
      size_t cap = 16;
      while (cap < 2 * ws.size()) cap *= 2;
      spots_.assign(cap, {kNoRef, 0});
      spotted_ = x;
      for (size_t i = 0; i < ws.size(); ++i) spots_[spot(ws[i])] = {ws[i], static_cast<uint32_t>(i)};
      at = spots_[spot(c)].second;
    }
  }
  if (at >= ws.size() || ws[at] != c) throw std::logic_error("checker: deleted clause missing from its watch list");
  const CRef last = ws.back();
  ws[at] = last;
  ws.pop_back();
  // The deleted clause keeps its slot: references are not reused before
  // the next collection, which drops the table.
  if (spotted_ == x && last != c) spots_[spot(last)].second = static_cast<uint32_t>(at);
}

// Compacts the arena once deleted clauses take up half of it, so that
// propagation walks denser memory.  Clauses keep their order (references
// only shrink, and stay ordered by insertion), and so do the watch and
// occurrence lists: nothing observable changes.
void Checker::collect() {
  std::vector<uint32_t> fresh;
  fresh.reserve(arena_.size() - garbage_);
  // Pass 1: copy the present clauses; each old clause's next word then
  // holds its new reference (kNoRef when deleted).
  for (size_t r = 0; r < arena_.size();) {
    const CRef c = static_cast<CRef>(r);
    const size_t words = size_of(c) + kExtra;
    if (present(c)) {
      const CRef moved = static_cast<CRef>(fresh.size());
      fresh.insert(fresh.end(), arena_.begin() + r, arena_.begin() + r + words);
      next_of(c) = moved;
    } else {
      next_of(c) = kNoRef;
    }
    r += words;
  }
  const auto moved = [this](CRef c) { return next_of(c); };
  const auto remap = [&](std::vector<CRef> &refs) {
    size_t k = 0;
    for (const CRef c : refs)
      if (moved(c) != kNoRef) refs[k++] = moved(c);
    refs.resize(k);
  };
  for (std::vector<CRef> &ws : watches_) remap(ws);
  if (occs_ready_)
    for (std::vector<CRef> &occ : occs_) remap(occ);
  remap(units_);
  for (Var v = 0; v < nvars_; ++v) {
    CRef &r = reasons_[v];
    if (r != kNoRef) r = vals_[2 * v] == kUnassigned ? kNoRef : moved(r);
  }
  arena_.swap(fresh);
  garbage_ = 0;
  spotted_ = kNoLit;
  std::fill(buckets_.begin(), buckets_.end(), kNoRef);
  for (size_t r = 0; r < arena_.size(); r += size_of(static_cast<CRef>(r)) + kExtra) link(static_cast<CRef>(r));
}

// ---------------------------------------------------------------------------
// Propagation.

inline __attribute__((always_inline)) void Checker::assign(Lit l, CRef reason) {
  assert(vals_[l] == kUnassigned && vals_[l ^ 1] == kUnassigned);
  vals_[l] = kTrue;
  vals_[l ^ 1] = kFalse;
  reasons_[l >> 1] = reason;
  trail_.push_back(l);
}

// Processes the trail from `from` as a queue.  Each clause watches its
// first two literals; a visited clause gets its false watch into position
// 1, is kept when position 0 is true, moves the watch to the first
// non-false literal from position 2 on, and otherwise is unit (position 0
// made true) or conflicting.  Deleted clauses are dropped from the list.
// On conflict the unvisited rest of the list is kept as it was.
bool Checker::propagate(size_t from) {
  uint8_t *const vals = vals_.data();
  uint32_t *const arena = arena_.data();  // nothing is inserted meanwhile
  for (size_t i = from; i < trail_.size(); ++i) {
    const Lit t = trail_[i];
    const Lit f = t ^ 1;
    std::vector<CRef> &ws = watches_[t];
    CRef *const w = ws.data();
    const size_t end = ws.size();
    size_t r = 0, k = 0;
    while (r < end) {
      const CRef c = w[r++];
      uint32_t *const h = arena + c;
      if (r < end) __builtin_prefetch(arena + w[r]);
      const uint32_t n = h[0];
      if (n & kDeleted) continue;
      Lit *const lits = h + 1;
      // The false watch goes to position 1 (without a branch: one of the
      // two positions holds f).
      assert(lits[0] == f || lits[1] == f);
      lits[0] ^= lits[1] ^ f;
      lits[1] = f;
      if (vals[lits[0]] == kTrue) {
        w[k++] = c;
        continue;
      }
      uint32_t m = 2;
      while (m < n && vals[lits[m]] == kFalse) ++m;
      if (m < n) {
        lits[1] = lits[m];
        lits[m] = f;
        watches_[lits[1] ^ 1].push_back(c);
        continue;
      }
      w[k++] = c;
      if (vals[lits[0]] == kFalse) {
        while (r < end) w[k++] = w[r++];
        ws.resize(k);
        return true;
      }
      assign(lits[0], c);
    }
    ws.resize(k);
  }
  return false;
}

bool Checker::is_rup(std::span<const Lit> lits) {
  if (inconsistent_) return true;
  const size_t s = trail_.size();
  bool conflict = false;
  for (const Lit l : lits) {
    if (vals_[l] == kTrue) {
      conflict = true;
      break;
    }
    if (vals_[l] == kFalse) continue;
    assign(l ^ 1, kNoRef);
  }
  if (!conflict) conflict = propagate(s);
  for (size_t i = trail_.size(); i > s; --i) {
    const Lit l = trail_[i - 1];
    vals_[l] = kUnassigned;
    vals_[l ^ 1] = kUnassigned;
  }
  trail_.resize(s);
  return conflict;
}

// ---------------------------------------------------------------------------
// Steps of a check.

bool Checker::assign_input_units() {
  for (const CRef r : units_) {
    const Lit l = lits_of(r)[0];
    if (vals_[l] == kTrue) continue;
    if (vals_[l] == kFalse) {
      inconsistent_ = true;
      return false;
    }
    assign(l, r);
  }
  if (propagate(0)) {
    inconsistent_ = true;
    return false;
  }
  return true;
}

void Checker::build_occs() {
  occs_.assign(2ull * nvars_, {});
  for (size_t r = 0; r < arena_.size(); r += size_of(static_cast<CRef>(r)) + kExtra) {
    const CRef c = static_cast<CRef>(r);
    if (!present(c)) continue;
    const Lit *d = lits_of(c);
    for (uint32_t k = 0; k < size_of(c); ++k) occs_[d[k]].push_back(c);
  }
  occs_ready_ = true;
}

// RAT on the pivot p = c[0]: every resolvent of c with a present clause
// containing ~p, tautologies left out, must be RUP.  A resolvent is c
// followed by the other clause's literals that are neither ~p nor in c.
bool Checker::is_rat(std::span<const Lit> c, uint64_t *resolvents) {
  if (c.empty()) return false;
  // Built on the first RAT check; the sizing check is the same as growth's.
  if (!occs_ready_) build_occs();
  const Lit p = c[0];
  const Lit np = p ^ 1;
  std::vector<CRef> &occ = occs_[np];
  size_t k = 0;
  for (const CRef r : occ)
    if (present(r)) occ[k++] = r;
  occ.resize(k);
  for (const Lit l : c) marks_[l] = 1;
  bool ok = true;
  for (const CRef r : occ) {
    const uint32_t n = size_of(r);
    const Lit *d = lits_of(r);
    rat_resolvent_.assign(c.begin(), c.end());
    bool tautology = false;
    for (uint32_t j = 0; j < n; ++j) {
      const Lit l = d[j];
      if (l == np) continue;
      if (marks_[l ^ 1]) {
        tautology = true;
        break;
      }
      if (!marks_[l]) rat_resolvent_.push_back(l);
    }
    if (tautology) continue;
    ++*resolvents;
    if (!is_rup(rat_resolvent_)) {
      ok = false;
      break;
    }
  }
  for (const Lit l : c) marks_[l] = 0;
  return ok;
}

// An accepted lemma already satisfied at top level is stored as it is.
// Otherwise its non-false literals go first, so that the watches are
// sound; with none it refutes the clause set, with one it is unit.
void Checker::add_lemma(std::span<const Lit> c) {
  for (const Lit l : c) {
    if (vals_[l] == kTrue) {
      insert(c);
      return;
    }
  }
  lemma_.clear();
  for (const Lit l : c)
    if (vals_[l] != kFalse) lemma_.push_back(l);
  const size_t open = lemma_.size();
  for (const Lit l : c)
    if (vals_[l] == kFalse) lemma_.push_back(l);
  const CRef r = insert(lemma_);
  if (open == 0) {
    inconsistent_ = true;
  } else if (open == 1) {
    assign(lemma_[0], r);
    if (propagate(trail_.size() - 1)) inconsistent_ = true;
  }
}

}  // namespace qn::checker
