// The occurrence store: clause slots in a flat arena, one occurrence list
// per literal, a 64-bit signature per slot, and unit propagation.  These
// primitives are the only code that changes the formula, so they alone keep
// occurrence lists, signatures and the proof in step with the slots.
#include <algorithm>
#include <cstddef>
#include <new>

#include "core/memory.hpp"
#include "core/panic.hpp"
#include "preprocess/preprocessor.hpp"

namespace qn::prep {
namespace {

// Reserves room for `need` elements, doubling the capacity where possible so
// that repeated small growth stays amortised.  Throws std::bad_alloc without
// changing the vector's contents.
template <class T>
void reserve_for(std::vector<T> &v, size_t need) {
  if (need <= v.capacity()) return;
  const size_t want = std::max(need, v.capacity() * 2);
  try {
    v.reserve(want);
  } catch (const std::bad_alloc &) {
    v.reserve(need);
  }
}

}  // namespace

uint64_t Preprocessor::signature(const Lit *lits, uint32_t n) {
  uint64_t s = 0;
  for (uint32_t k = 0; k < n; ++k) s |= uint64_t{1} << (var_of(lits[k]) & 63);
  return s;
}

void Preprocessor::log_step(bool deletion, const Lit *lits, uint32_t n) {
  if (!with_proof_) return;
  if (sink_ != nullptr) {
    sink_->step(deletion, lits, n);
    return;
  }
  ProofStep step;
  step.deletion = deletion;
  step.lits.assign(lits, lits + n);
  proof_.push_back(std::move(step));
}

void Preprocessor::log_empty_clause() { log_step(false, nullptr, 0); }

uint8_t Preprocessor::lit_value(Lit l) const {
  const uint8_t v = vals_[var_of(l)];
  if (v == kUnassigned) return kUnassigned;
  return v == 1 + (l & 1u) ? kTrue : kFalse;
}

// ---------------------------------------------------------------------------
// grow: all tables are reserved before any size changes, so a failed
// allocation leaves the store exactly as it was.

void Preprocessor::grow(uint64_t n) {
  if (n <= nvars_) return;
  QN_CHECK(n <= kMaxVars, "variable count out of range");
  require_memory(2 * n * (sizeof(std::vector<ClauseId>) + 1) + 4 * n);
  try {
    reserve_for(occs_, 2 * n);
    reserve_for(mark_, 2 * n);
    reserve_for(vals_, n);
    reserve_for(frozen_, n);
    reserve_for(eliminated_, n);
    reserve_for(touched_, n);
  } catch (const std::bad_alloc &) {
    occs_.shrink_to_fit();
    mark_.shrink_to_fit();
    vals_.shrink_to_fit();
    frozen_.shrink_to_fit();
    eliminated_.shrink_to_fit();
    touched_.shrink_to_fit();
    throw;
  }
  // Capacity is in place: none of these allocates (new occurrence lists
  // start empty).
  occs_.resize(2 * n);
  mark_.resize(2 * n, 0);
  vals_.resize(n, kUnassigned);
  frozen_.resize(n, 0);
  eliminated_.resize(n, 0);
  touched_.resize(n, 0);
  nvars_ = static_cast<uint32_t>(n);
}

void Preprocessor::shrink_vars(uint32_t n) {
  if (n >= nvars_) return;
  occs_.resize(2 * size_t{n});
  mark_.resize(2 * size_t{n});
  vals_.resize(n);
  frozen_.resize(n);
  eliminated_.resize(n);
  touched_.resize(n);
  nvars_ = n;
}

// ---------------------------------------------------------------------------
// insert: every allocation happens before the first change, so a failure
// leaves the store (and the proof) untouched.

void Preprocessor::insert(const Lit *lits, uint32_t n, bool log) {
  const size_t slots = cl_start_.size();
  QN_CHECK(slots < UINT32_MAX, "clause id space exhausted");
  for (uint32_t k = 0; k < n; ++k) QN_CHECK(lits[k] < 2 * uint64_t{nvars_}, "literal out of range in insert");
  reserve_for(cl_start_, slots + 1);
  reserve_for(slots_, slots + 1);
  reserve_for(arena_, arena_.size() + n);
  reserve_for(occ_pos_, occ_pos_.size() + n);
  for (uint32_t k = 0; k < n; ++k) reserve_for(occs_[lits[k]], occs_[lits[k]].size() + 1);
  ProofStep step;
  const bool logging = log && with_proof_;
  if (logging && sink_ == nullptr) {
    step.lits.assign(lits, lits + n);
    reserve_for(proof_, proof_.size() + 1);
  }
  // Commit.
  if (logging && sink_ != nullptr) sink_->step(false, lits, n);
  if (logging && sink_ == nullptr) proof_.push_back(std::move(step));
  const ClauseId id = static_cast<ClauseId>(slots);
  cl_start_.push_back(arena_.size());
  slots_.push_back(SlotInfo{signature(lits, n), n, 1});
  arena_.insert(arena_.end(), lits, lits + n);
  occ_pos_.resize(arena_.size());
  hook_all(id);
  if (n == 0) ++live_empty_;
}

// Appends id to the occurrence list of each of its literals, in clause
// order, recording where it went.
void Preprocessor::hook_all(ClauseId id) {
  const uint64_t start = cl_start_[id];
  for (uint32_t k = 0; k < slots_[id].len; ++k) {
    std::vector<ClauseId> &os = occs_[arena_[start + k]];
    occ_pos_[start + k] = static_cast<uint32_t>(os.size());
    os.push_back(id);
  }
  touch(arena_.data() + start, slots_[id].len);
}

// Removes id from the occurrence list of its k-th literal: the list's last
// entry moves into its place.  A clause holds a literal at most once, so
// the recorded position is the first (and only) one of id in the list; the
// moved clause's record is updated by finding the literal in it.
void Preprocessor::unhook(ClauseId id, uint32_t k) {
  const uint64_t at = cl_start_[id] + k;
  const Lit l = arena_[at];
  std::vector<ClauseId> &os = occs_[l];
  const uint32_t p = occ_pos_[at];
  QN_CHECK(p < os.size() && os[p] == id, "occurrence list out of step with its clause");
  const ClauseId moved = os.back();
  os[p] = moved;
  os.pop_back();
  if (moved == id) return;
  const uint64_t mstart = cl_start_[moved];
  const uint32_t mlen = slots_[moved].len;
  for (uint32_t j = 0; j < mlen; ++j) {
    if (arena_[mstart + j] == l) {
      occ_pos_[mstart + j] = p;
      return;
    }
  }
  QN_PANIC("moved clause does not hold the literal of its list");
}

void Preprocessor::remove(ClauseId id) {
  QN_CHECK(id < num_slots(), "clause id out of range in remove");
  if (!slots_[id].live) return;
  const Lit *c = clause(id);
  const uint32_t n = slots_[id].len;
  for (uint32_t k = 0; k < n; ++k) unhook(id, k);
  touch(c, n);
  slots_[id].live = 0;
  if (n == 0) --live_empty_;
  log_step(true, c, n);
}

// The addition of the new literals precedes the deletion of the old ones,
// so a proof checker always sees the shortened clause derived while the
// clause it comes from is still present.
void Preprocessor::replace(ClauseId id, const Lit *lits, uint32_t n) {
  QN_CHECK(id < num_slots() && slots_[id].live, "replace of an empty slot");
  log_step(false, lits, n);
  const uint32_t old_n = slots_[id].len;
  for (uint32_t k = 0; k < old_n; ++k) unhook(id, k);
  const Lit *old = clause(id);
  touch(old, old_n);  // the literals dropped change their variables' counts too
  ProofStep deletion;
  if (with_proof_) {  // a copy: the slot may be overwritten below
    deletion.deletion = true;
    deletion.lits.assign(old, old + old_n);
  }
  slots_[id].sig = signature(lits, n);
  if (n <= old_n) {
    std::copy(lits, lits + n, arena_.begin() + static_cast<std::ptrdiff_t>(cl_start_[id]));
  } else {
    cl_start_[id] = arena_.size();
    arena_.insert(arena_.end(), lits, lits + n);
    occ_pos_.resize(arena_.size());
  }
  slots_[id].len = n;
  hook_all(id);
  if (old_n == 0) --live_empty_;
  if (n == 0) ++live_empty_;
  if (with_proof_ && sink_ != nullptr) sink_->step(true, deletion.lits.data(), deletion.lits.size());
  if (with_proof_ && sink_ == nullptr) proof_.push_back(std::move(deletion));
}

// ---------------------------------------------------------------------------
// propagate
//
// Unit propagation over the occurrence lists.  The work stack starts with
// the literal of every live unit clause in id order and is last in, first
// out.  Assigning a literal removes the clauses it satisfies (the unit
// itself included) and shortens the clauses holding its complement; a
// clause shortened to one literal is pushed.  Returns false on a conflict,
// with `unsat_` set and the empty clause logged; the clause that would have
// become empty stays in the store.

bool Preprocessor::propagate() {
  prop_stack_.clear();
  for (ClauseId i = 0; i < num_slots(); ++i) {
    if (slots_[i].live && slots_[i].len == 1) prop_stack_.push_back(clause(i)[0]);
  }
  while (!prop_stack_.empty()) {
    const Lit lit = prop_stack_.back();
    prop_stack_.pop_back();
    const Var v = var_of(lit);
    const uint8_t want = static_cast<uint8_t>(1 + (lit & 1u));
    if (vals_[v] == want) continue;
    if (vals_[v] != kUnassigned) {
      unsat_ = true;
      log_empty_clause();
      return false;
    }
    vals_[v] = want;
    ++units;
    prop_ids_ = occs_[lit];
    for (ClauseId id : prop_ids_) remove(id);
    const Lit falsified = neg(lit);
    prop_ids_ = occs_[falsified];
    for (ClauseId id : prop_ids_) {
      if (!slots_[id].live) continue;
      const Lit *c = clause(id);
      const uint32_t n = slots_[id].len;
      tmp_lits_.clear();
      for (uint32_t k = 0; k < n; ++k) {
        if (c[k] != falsified) tmp_lits_.push_back(c[k]);
      }
      if (tmp_lits_.empty()) {
        unsat_ = true;
        log_empty_clause();
        return false;
      }
      replace(id, tmp_lits_.data(), static_cast<uint32_t>(tmp_lits_.size()));
      if (tmp_lits_.size() == 1) prop_stack_.push_back(tmp_lits_[0]);
    }
  }
  return true;
}

}  // namespace qn::prep
