// Where a core's DRAT steps go when they are not kept in memory: the
// command line's runner streams them to a file as they are derived.  Steps
// are rare next to propagations, so one indirect call per step is cheap.
#pragma once

#include <cstddef>

#include "core/lit.hpp"

namespace qn {

class ProofSink {
 public:
  virtual ~ProofSink() = default;
  // One whole step: an addition, or a deletion, of the clause lits[0 .. n).
  virtual void step(bool deletion, const Lit *lits, size_t n) = 0;
};

}  // namespace qn
