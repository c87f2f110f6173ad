// Unit propagation over two watched literals with blocking literals,
// backtracking, and the variable order heap.
#include "core/panic.hpp"
#include "solver/solver.hpp"

namespace qn {

// Visits watches_[p] for every trail literal p not yet propagated.  The
// list is compacted in place (read pointer i, write pointer j); a clause
// that finds a new watch moves to that literal's list and leaves this one.
int32_t Solver::propagate() {
  int32_t confl = kNoReason;
  size_t dequeued = 0;
  Lit *const arena = lits_.data();  // propagation never grows the arena
  const uint8_t *const vals = values_.data();
  while (qhead_ < trail_.size()) {
    const Lit p = trail_[qhead_++];
    ++dequeued;
    const Lit false_lit = p ^ 1;
    std::vector<Watch> &ws = watches_[p];
    Watch *i = ws.data();
    Watch *j = i;
    Watch *const end = i + ws.size();
    while (i != end) {
      const Watch w = *i++;
      if (vals[w.blocker] == kTrue) {
        *j++ = w;
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
      while (k < len && vals[c[k]] == kFalse) ++k;
      if (k < len) {
        c[1] = c[k];
        c[k] = false_lit;
        watches_[c[1] ^ 1].push_back(Watch{w.off, first});
        continue;
      }
      *j++ = w;
      const int32_t cref = static_cast<int32_t>(c[-2]);
      if (vals[first] == kFalse) {
        confl = cref;
        qhead_ = trail_.size();
        while (i != end) *j++ = *i++;
      } else {
        assign(first, cref);
      }
    }
    ws.resize(static_cast<size_t>(j - ws.data()));
    if (confl != kNoReason) break;
  }
  stats_.propagations += dequeued;
  if (trail_.size() > stats_.max_trail) stats_.max_trail = trail_.size();
  return confl;
}

void Solver::cancel_until(uint32_t lvl) {
  if (lvl >= decision_level()) return;
  const size_t stop = trail_lim_[lvl];
  const bool save = config_.phase_saving;
  for (size_t i = trail_.size(); i-- > stop;) {
    const Lit p = trail_[i];
    const Var v = var_of(p);
    values_[p] = kUnassigned;
    values_[p ^ 1] = kUnassigned;
    reason_[v] = kNoReason;
    if (save) phase_[v] = is_neg(p) ? 0 : 1;
    heap_insert(v);
  }
  trail_.resize(stop);
  trail_lim_.resize(lvl);
  qhead_ = stop;
  if (target_copied_ > stop) target_copied_ = stop;
}

// --- order heap --------------------------------------------------------------

void Solver::heap_insert(Var v) {
  if (heap_index_.size() <= v) heap_index_.resize(static_cast<size_t>(v) + 1, -1);
  if (heap_index_[v] >= 0) return;
  heap_index_[v] = static_cast<int32_t>(heap_.size());
  heap_.push_back(v);
  heap_up(static_cast<uint32_t>(heap_.size() - 1));
}

void Solver::heap_up(uint32_t i) {
  const Var x = heap_[i];
  while (i > 0) {
    const uint32_t parent = (i - 1) / 2;
    if (!heap_above(x, heap_[parent])) break;
    heap_[i] = heap_[parent];
    heap_index_[heap_[i]] = static_cast<int32_t>(i);
    i = parent;
  }
  heap_[i] = x;
  heap_index_[x] = static_cast<int32_t>(i);
}

void Solver::heap_down(uint32_t i) {
  const Var x = heap_[i];
  const size_t n = heap_.size();
  for (;;) {
    const size_t left = 2 * static_cast<size_t>(i) + 1;
    if (left >= n) break;
    const size_t right = left + 1;
    const size_t child = (right < n && heap_above(heap_[right], heap_[left])) ? right : left;
    if (!heap_above(heap_[child], x)) break;
    heap_[i] = heap_[child];
    heap_index_[heap_[i]] = static_cast<int32_t>(i);
    i = static_cast<uint32_t>(child);
  }
  heap_[i] = x;
  heap_index_[x] = static_cast<int32_t>(i);
}

Var Solver::heap_pop() {
  const Var top = heap_[0];
  const Var last = heap_.back();
  heap_.pop_back();
  heap_index_[top] = -1;
  if (!heap_.empty()) {
    heap_[0] = last;
    heap_index_[last] = 0;
    heap_down(0);
  }
  return top;
}

}  // namespace qn
