// The variable order heap: a binary max-heap by activity, ties going to the
// smaller variable index.  Positions are kept in heap_index_ (-1 = absent);
// each entry holds its variable's activity as of its last bump.
#include "solver/solver.hpp"

namespace qn {

void Solver::heap_insert(Var v) {
  if (heap_index_.size() <= v) heap_index_.resize(static_cast<size_t>(v) + 1, -1);
  if (heap_index_[v] >= 0) return;
  heap_index_[v] = static_cast<int32_t>(heap_.size());
  heap_.push_back(HeapEntry{activity_[v], v});
  heap_up(static_cast<uint32_t>(heap_.size() - 1));
}

void Solver::heap_append(Var v) {
  if (heap_index_.size() <= v) heap_index_.resize(static_cast<size_t>(v) + 1, -1);
  heap_index_[v] = static_cast<int32_t>(heap_.size());
  heap_.push_back(HeapEntry{activity_[v], v});
}

// Bottom-up (Floyd): linear in the heap's size.
void Solver::heap_build() {
  for (size_t i = heap_.size() / 2; i-- > 0;) heap_down(static_cast<uint32_t>(i));
}

void Solver::heap_up(uint32_t i) {
  const HeapEntry x = heap_[i];
  while (i > 0) {
    const uint32_t parent = (i - 1) / 2;
    if (!heap_above(x, heap_[parent])) break;
    heap_[i] = heap_[parent];
    heap_index_[heap_[i].var] = static_cast<int32_t>(i);
    i = parent;
  }
  heap_[i] = x;
  heap_index_[x.var] = static_cast<int32_t>(i);
}

void Solver::heap_down(uint32_t i) {
  const HeapEntry x = heap_[i];
  const size_t n = heap_.size();
  for (;;) {
    const size_t left = 2 * static_cast<size_t>(i) + 1;
    if (left >= n) break;
    const size_t right = left + 1;
    const size_t child = (right < n && heap_above(heap_[right], heap_[left])) ? right : left;
    if (!heap_above(heap_[child], x)) break;
    heap_[i] = heap_[child];
    heap_index_[heap_[i].var] = static_cast<int32_t>(i);
    i = static_cast<uint32_t>(child);
  }
  heap_[i] = x;
  heap_index_[x.var] = static_cast<int32_t>(i);
}

// The hole at the top goes down along the larger children to a leaf and
// the last entry climbs back from there: one comparison per level on the
// way down instead of two, and the same layout as sifting the last entry
// down from the top, since the order is total.
Var Solver::heap_pop() {
  const Var top = heap_[0].var;
  const HeapEntry last = heap_.back();
  heap_.pop_back();
  heap_index_[top] = -1;
  const size_t n = heap_.size();
  if (n == 0) return top;
  size_t i = 0;
  for (size_t left = 1; left < n; left = 2 * i + 1) {
    const size_t right = left + 1;
    const size_t child = (right < n && heap_above(heap_[right], heap_[left])) ? right : left;
    heap_[i] = heap_[child];
    heap_index_[heap_[i].var] = static_cast<int32_t>(i);
    i = child;
  }
  heap_[i] = last;
  heap_up(static_cast<uint32_t>(i));
  return top;
}

}  // namespace qn
