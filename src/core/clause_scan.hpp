// The clause normaliser shared by ClauseDb, Solver::add_clause and
// Preprocessor::add_clause.  A clause is normalised as it arrives, literal
// by literal: a literal seen before is dropped, and the first literal whose
// negation was seen before makes the clause a tautology (literals after it
// are never looked at).
//
// ClauseScan::run finds the same answer as that left-to-right scan with a
// linear search of the literals kept so far, without its quadratic cost on
// long clauses: beyond a few literals it sorts (literal, position) pairs
// once, so that a clause of a million literals is O(k log k), not 10^12
// comparisons with the interpreter lock held.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "core/lit.hpp"

namespace qn {

// Scratch space of the scan; keep one around to avoid reallocating.
struct ClauseScan {
  std::vector<uint8_t> first;   // per position: 1 for the first occurrence of its literal
  std::vector<uint64_t> keys;   // (literal << 32 | position), sorted

  // Scans in[0 .. n).  Returns the position of the literal that closes a
  // tautology (its negation occurs earlier), or n when there is none.
  // Afterwards first[i] is 1 exactly for the positions i below the returned
  // one that hold the first occurrence of their literal: the literals a
  // left-to-right scan keeps, in order.
  size_t run(const Lit *in, size_t n) {
    first.assign(n, 0);
    if (n <= kLinear) {
      // Comparing with every earlier literal, kept or not, finds the same
      // answer: a dropped one repeats a kept one before it, and both
      // polarities cannot occur before the closing literal.
      for (size_t i = 0; i < n; ++i) {
        uint8_t keep = 1;
        for (size_t j = 0; j < i; ++j) {
          if (in[j] == in[i]) {
            keep = 0;
            break;
          }
          if ((in[j] ^ in[i]) == 1u) return i;
        }
        first[i] = keep;
      }
      return n;
    }
    if (n > 0xFFFFFFFFu) throw std::bad_alloc();  // positions are packed in 32 bits
    keys.resize(n);
    for (size_t i = 0; i < n; ++i) keys[i] = (uint64_t{in[i]} << 32) | i;
    std::sort(keys.begin(), keys.end());
    // Equal literals are adjacent, positions ascending; the two literals of
    // a variable are adjacent groups (2v, then 2v + 1).
    size_t closing = n;
    for (size_t g = 0; g < n;) {
      const Lit l = static_cast<Lit>(keys[g] >> 32);
      const size_t pos = static_cast<size_t>(keys[g] & 0xFFFFFFFFu);
      first[pos] = 1;
      size_t next = g + 1;
      while (next < n && static_cast<Lit>(keys[next] >> 32) == l) ++next;
      // The negative literal's group follows the positive one's directly.
      if ((l & 1u) == 1u && g > 0) {
        const size_t prev = g - 1;  // last entry of the previous group
        const Lit pl = static_cast<Lit>(keys[prev] >> 32);
        if (pl == (l ^ 1u)) {
          // First occurrence of the positive literal: the head of its group.
          size_t head = prev;
          while (head > 0 && static_cast<Lit>(keys[head - 1] >> 32) == pl) --head;
          const size_t ppos = static_cast<size_t>(keys[head] & 0xFFFFFFFFu);
          closing = std::min(closing, std::max(pos, ppos));
        }
      }
      g = next;
    }
    for (size_t i = closing; i < n; ++i) first[i] = 0;
    return closing;
  }

 private:
  static constexpr size_t kLinear = 16;
};

}  // namespace qn
