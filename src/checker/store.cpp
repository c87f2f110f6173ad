// The checker's clause store: sizing, the clause index, insertion with its
// watches, deletion and compaction.
#include <algorithm>
#include <cassert>
#include <new>
#include <stdexcept>

#include "checker/checker.hpp"
#include "checker/values.hpp"
#include "core/memory.hpp"

namespace qn::checker {

namespace {

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
  const uint64_t lists = sizeof(std::vector<Lit>) + sizeof(std::vector<Ternary>) + (kTiers - 1) * sizeof(std::vector<Watch>);
  const uint64_t per_lit = 2 + lists + (occs_ready_ ? sizeof(std::vector<CRef>) : 0);
  // The per-literal arrays are sized up front for the largest variable seen,
  // so a single huge literal asks for gigabytes at once.
  require_memory(mul_sat(nlits, per_lit) + sizeof(Lit) * uint64_t{need});
  vals_.resize(nlits, kUnassigned);
  marks_.resize(nlits, 0);
  binaries_.resize(nlits);
  ternaries_.resize(nlits);
  for (unsigned t = 1; t < kTiers; ++t) watches_[t].resize(nlits);
  if (occs_ready_) occs_.resize(nlits);
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

// A clause of two or more literals watches its first two.
void Checker::watch(CRef r) {
  const Lit *c = lits_of(r);
  if (size_of(r) == 2) {
    binaries_[c[0] ^ 1].push_back(c[1]);
    binaries_[c[1] ^ 1].push_back(c[0]);
  } else if (size_of(r) == 3) {
    ternaries_[c[0] ^ 1].push_back({c[1], c[2], r});
    ternaries_[c[1] ^ 1].push_back({c[0], c[2], r});
  } else {
    auto &tier = watches_[tier_of(size_of(r))];
    tier[c[0] ^ 1].push_back({c[1], r});
    tier[c[1] ^ 1].push_back({c[0], r});
  }
}

Checker::CRef Checker::insert(std::span<const Lit> c) {
  grow(c);
  const size_t n = c.size();
  // References stay below 2^31, lengths too (the length shares its word
  // with the deleted flag).
  if (arena_.size() + kExtra + n >= kDeleted) throw std::bad_alloc();
  if (indexed_ >= buckets_.size()) rehash(2 * buckets_.size());  // before r is in the arena
  const CRef r = static_cast<CRef>(arena_.size());
  arena_.push_back(static_cast<uint32_t>(n));
  arena_.insert(arena_.end(), c.begin(), c.end());
  arena_.push_back(hash(c));
  arena_.push_back(kNoRef);
  link(r);
  ++indexed_;
  if (n >= 2) {
    if (!formula_) watch(r);
  } else if (n == 1) {
    units_.push_back(c[0]);
  }
  if (occs_ready_)
    for (const Lit l : c) occs_[l].push_back(r);
  ++num_clauses_;
  return r;
}

// Counting first spares the lists of a large formula their regrowth.  The
// lists come out as insertion would have made them: clause by clause.
void Checker::watch_formula() {
  if (!formula_) return;
  formula_ = false;
  constexpr size_t kKinds = kTiers + 1;  // ternaries, the long tiers, binaries
  const auto kind_of = [](uint32_t n) -> size_t { return n == 2 ? kTiers : tier_of(n); };
  std::vector<uint32_t> counts(kKinds * vals_.size(), 0);
  for (size_t r = 0; r < arena_.size(); r += size_of(static_cast<CRef>(r)) + kExtra) {
    const CRef c = static_cast<CRef>(r);
    const uint32_t n = size_of(c);
    if (n < 2) continue;
    const Lit *d = lits_of(c);
    ++counts[kKinds * (d[0] ^ 1) + kind_of(n)];
    ++counts[kKinds * (d[1] ^ 1) + kind_of(n)];
  }
  for (size_t x = 0; x < vals_.size(); ++x) {
    const uint32_t *k = &counts[kKinds * x];
    if (k[0]) ternaries_[x].reserve(k[0]);
    for (unsigned t = 1; t < kTiers; ++t)
      if (k[t]) watches_[t][x].reserve(k[t]);
    if (k[kTiers]) binaries_[x].reserve(k[kTiers]);
  }
  for (size_t r = 0; r < arena_.size(); r += size_of(static_cast<CRef>(r)) + kExtra)
    if (size_of(static_cast<CRef>(r)) >= 2) watch(static_cast<CRef>(r));
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

// One literal true at the top level and every other one false.  Every
// clause that made a top-level literal true is such a clause: deleting it
// would keep the assignment while dropping its justification, and RAT
// could then accept non-implied clauses, so such deletions are not
// applied.  The others it keeps are satisfied for good and never propagate.
bool Checker::unit_at_top(CRef r) const {
  const Lit *c = lits_of(r);
  uint32_t trues = 0;
  for (uint32_t k = 0, n = size_of(r); k < n; ++k) {
    const uint8_t v = vals_[c[k]];
    if (v == kUnassigned || (v == kTrue && ++trues > 1)) return false;
  }
  return trues == 1;
}

Checker::Deletion Checker::remove(std::span<const Lit> c) {
  if (!opts_.apply_deletions) return Deletion::Ignored;
  CRef prev;
  const CRef r = find_latest(c, &prev);
  // Once the clause set is inconsistent every addition is RUP, whatever
  // is deleted: the assignment, cut short by the conflict, decides nothing.
  if (r == kNoRef || (!inconsistent_ && unit_at_top(r))) return Deletion::Skipped;
  if (prev == kNoRef)
    buckets_[hash_of(r) & (buckets_.size() - 1)] = next_of(r);
  else
    next_of(prev) = next_of(r);
  --indexed_;
  const uint32_t n = size_of(r);
  const Lit *d = lits_of(r);
  if (n == 2) {
    const auto same = [](Lit l) { return l; };
    unwatch(binaries_[d[0] ^ 1], d[0] ^ 1, kBinary, d[1], same);
    unwatch(binaries_[d[1] ^ 1], d[1] ^ 1, kBinary, d[0], same);
  } else if (n == 3) {
    const auto ref = [](const Ternary &w) { return w.ref; };
    unwatch(ternaries_[d[0] ^ 1], d[0] ^ 1, 0, r, ref);
    unwatch(ternaries_[d[1] ^ 1], d[1] ^ 1, 0, r, ref);
  } else if (n > 2) {
    const auto ref = [](const Watch &w) { return w.ref; };
    const unsigned t = tier_of(n);
    unwatch(watches_[t][d[0] ^ 1], d[0] ^ 1, t, r, ref);
    unwatch(watches_[t][d[1] ^ 1], d[1] ^ 1, t, r, ref);
  }
  // Occurrence lists shed deleted clauses when they are next read.
  arena_[r] |= kDeleted;
  garbage_ += n + kExtra;
  // Collection visits every watch list: wait for enough garbage to pay for it.
  if (garbage_ > (1u << 16) && garbage_ > arena_.size() / 2 && garbage_ > 2ull * nvars_) collect();
  return Deletion::Applied;
}

size_t Checker::Spots::find(uint32_t k) const {
  const size_t mask = slots.size() - 1;
  size_t i = mix(k) & mask;
  while (slots[i].first != k && slots[i].first != kNoRef) i = (i + 1) & mask;
  return i;
}

// Takes the entry whose key is `target` out of `ws`, the list of `kind`
// for literal x:
// the list's last entry fills the hole.  The place is searched from both
// ends, which finds it at once when clauses go in the order they came or
// in the reverse one; more than kSearch steps deep into a long list, a
// table of places answers (a scan that short costs less than building a
// table, which proofs that delete from many lists in turn would keep
// rebuilding).  Propagation and insertion change lists without telling the
// tables, so an answer is checked, and the table rebuilt when it is wrong.
// (Two copies of a binary clause give equal entries: either one will do.)
template <class T, class Key>
void Checker::unwatch(std::vector<T> &ws, Lit x, uint64_t kind, uint32_t target, Key key) {
  constexpr size_t kSearch = 1024;
  const uint64_t list = 8 * uint64_t{x} + kind;
  Spots *table = spots_[0].list == list ? &spots_[0] : spots_[1].list == list ? &spots_[1] : nullptr;
  size_t at = ws.size();
  if (table) {
    const auto [k, pos] = table->slots[table->find(target)];
    if (k == target && pos < ws.size() && key(ws[pos]) == target) at = pos;
  }
  if (at == ws.size()) {
    size_t lo = 0, hi = ws.size();
    for (size_t steps = 0; lo < hi && steps < kSearch; ++steps, ++lo, --hi) {
      if (key(ws[lo]) == target) {
        at = lo;
        break;
      }
      if (key(ws[hi - 1]) == target) {
        at = hi - 1;
        break;
      }
    }
    if (at == ws.size() && lo < hi) {
      if (!table) {
        table = &spots_[older_spots_];
        older_spots_ ^= 1;
      }
      size_t cap = 16;
      while (cap < 2 * ws.size()) cap *= 2;
      table->slots.assign(cap, {kNoRef, 0});
      table->list = list;
      for (size_t i = 0; i < ws.size(); ++i) table->slots[table->find(key(ws[i]))] = {key(ws[i]), static_cast<uint32_t>(i)};
      at = table->slots[table->find(target)].second;
    }
  }
  if (at >= ws.size() || key(ws[at]) != target) throw std::logic_error("checker: deleted clause missing from its watch list");
  const T last = ws.back();
  ws[at] = last;
  ws.pop_back();
  // Keys are not reused before the next collection, which drops the
  // tables (a binary clause's key may be, by a copy: its stale place is
  // caught by the check above).
  if (table && at < ws.size()) table->slots[table->find(key(last))].second = static_cast<uint32_t>(at);
}

// Compacts the arena once deleted clauses take up half of it, so that
// propagation walks denser memory.  Clauses keep their order (references
// only shrink, and stay ordered by insertion), and so do the watch and
// occurrence lists.
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
  // Watched clauses are present.
  for (std::vector<Ternary> &ws : ternaries_)
    for (Ternary &w : ws) w.ref = next_of(w.ref);
  for (unsigned t = 1; t < kTiers; ++t)
    for (std::vector<Watch> &ws : watches_[t])
      for (Watch &w : ws) w.ref = next_of(w.ref);
  if (occs_ready_) {
    for (std::vector<CRef> &occ : occs_) {
      size_t k = 0;
      for (const CRef c : occ)
        if (next_of(c) != kNoRef) occ[k++] = next_of(c);
      occ.resize(k);
    }
  }
  arena_.swap(fresh);
  garbage_ = 0;
  for (Spots &t : spots_) t.list = kNoList;
  std::fill(buckets_.begin(), buckets_.end(), kNoRef);
  for (size_t r = 0; r < arena_.size(); r += size_of(static_cast<CRef>(r)) + kExtra) link(static_cast<CRef>(r));
}

}  // namespace qn::checker
