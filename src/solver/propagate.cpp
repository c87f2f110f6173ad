// Unit propagation over two watched literals with blocking literals, and
// backtracking.
#include "solver/solver.hpp"

namespace qn {

// Visits watches_[p] for every trail literal p not yet propagated.  The
// list is compacted in place (read pointer i, write pointer j); a clause
// that finds a new watch moves to that literal's list and leaves this one.
// A binary clause whose blocker (its other literal) is not true is settled
// from the watch alone; it is left in the arena as the general path leaves
// it, the other literal first and the false one second.
// search_pos is settled once per call, so that the plain search's loop
// does not test it at every watch.
int32_t Solver::propagate() {
  return assuming_with(config_.search_pos) ? propagate_with<true>() : propagate_with<false>();
}

template <bool kSearchPos>
int32_t Solver::propagate_with() {
  int32_t confl = kNoReason;
  size_t dequeued = 0;
  // Nothing below grows the arena, the watch table or the per-variable
  // arrays, so their base pointers stay valid for the whole call.
  Lit *const arena = lits_.data();
  uint8_t *const vals = values_.data();
  WatchList<Watch> *const wl = watches_.data();
  VarData *const vd = vardata_.data();
  const uint32_t dl = decision_level();
  while (qhead_ < trail_.size()) {
    const Lit p = trail_[qhead_++];
    ++dequeued;
    const Lit false_lit = p ^ 1;
    WatchList<Watch> &ws = wl[p];
    // The next list's header was fetched when its literal was assigned;
    // fetch its first watches now, while this list is walked.
    if (qhead_ < trail_.size()) __builtin_prefetch(wl[trail_[qhead_]].data());
    Watch *i = ws.data();
    Watch *j = i;
    Watch *const end = i + ws.size();
    while (i != end) {
      const Watch w = *i++;
      if (i != end) __builtin_prefetch(arena + i->off);
      const Lit other = w.blocker & ~kBinary;
      if (vals[other] == kTrue) {
        *j++ = w;
        continue;
      }
      if (w.blocker & kBinary) {
        Lit *const c = arena + w.off;
        c[0] = other;
        c[1] = false_lit;
        *j++ = w;
        if (vals[other] == kFalse) {
          confl = static_cast<int32_t>(w.off);
          qhead_ = trail_.size();
          while (i != end) *j++ = *i++;
        } else {
          vals[other] = kTrue;
          vals[other ^ 1] = kFalse;
          vd[var_of(other)] = VarData{static_cast<int32_t>(w.off), dl};
          trail_.push_back(other);
          __builtin_prefetch(&wl[other]);
        }
        continue;
      }
      Lit *const c = arena + w.off;
      if (c[0] == false_lit) {
        c[0] = c[1];
        c[1] = false_lit;
      }
      const Lit first = c[0];
      if (vals[first] == kTrue) {  // first != blocker here, since the blocker is not true
        *j++ = Watch{w.off, first};
        continue;
      }
      const uint32_t len = c[-1];
      uint32_t k = 2;
      if (kSearchPos && len >= kPosMinLen) {
        k = search_from_pos(c, len, vals);
      } else {
        while (k < len && vals[c[k]] == kFalse) ++k;
      }
      if (k < len) {
        c[1] = c[k];
        c[k] = false_lit;
        wl[c[1] ^ 1].push_back(Watch{w.off, first});
        continue;
      }
      *j++ = w;
      const int32_t cref = static_cast<int32_t>(w.off);
      if (vals[first] == kFalse) {
        confl = cref;
        qhead_ = trail_.size();
        while (i != end) *j++ = *i++;
      } else {
        vals[first] = kTrue;
        vals[first ^ 1] = kFalse;
        vd[var_of(first)] = VarData{cref, dl};
        trail_.push_back(first);
        __builtin_prefetch(&wl[first]);
      }
    }
    ws.resize(static_cast<size_t>(j - ws.data()));
    if (confl != kNoReason) break;
  }
  stats_.propagations += dequeued;
  if (trail_.size() > stats_.max_trail) stats_.max_trail = trail_.size();
  return confl;
}

// Long clauses under many assumptions hold many literals that stay false
// for a whole call; starting each search where the last one found a
// literal passes over them once per call rather than once per visit.
uint32_t Solver::search_from_pos(const Lit *c, uint32_t len, const uint8_t *vals) {
  uint32_t &pos = search_pos_[cref_of(c[-2])];
  const uint32_t from = pos < len ? pos : 2;  // a root simplification may have cut the clause
  uint32_t k = from;
  while (k < len && vals[c[k]] == kFalse) ++k;
  if (k == len) {
    k = 2;
    while (k < from && vals[c[k]] == kFalse) ++k;
    if (k == from) return len;
  }
  pos = k;
  return k;
}

// The reasons of the unassigned variables are left as they are: a reason is
// only ever read for an assigned variable, and every assignment sets it.
void Solver::cancel_until(uint32_t lvl) {
  if (lvl >= decision_level()) return;
  const size_t stop = trail_lim_[lvl];
  const bool save = config_.phase_saving;
  // Many variables back at once (a restart, a new call under assumptions):
  // they go in unordered and the heap is built again, in time linear in its
  // size rather than one climb each.  Decisions take the heap's top, which
  // the order alone names, so the search is the same; a random decision
  // picks by position, so with rnd_freq the heap keeps its insertion layout.
  const bool rebuild = config_.rnd_freq == 0 && trail_.size() - stop > heap_.size() / 4 + 16;
  for (size_t i = trail_.size(); i-- > stop;) {
    const Lit p = trail_[i];
    const Var v = var_of(p);
    values_[p] = kUnassigned;
    values_[p ^ 1] = kUnassigned;
    if (save) phase_[v] = is_neg(p) ? 0 : 1;
    if (heap_contains(v)) continue;
    if (rebuild) {
      heap_append(v);
    } else {
      heap_insert(v);
    }
  }
  if (rebuild) heap_build();
  trail_.resize(stop);
  trail_lim_.resize(lvl);
  qhead_ = stop;
  if (target_copied_ > stop) target_copied_ = stop;
}

}  // namespace qn
