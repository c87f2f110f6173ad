// The search program's side of the formula's socket (search_wire.hpp):
// reads clause records and hands each to a callback, and takes the proof
// file's descriptor when it comes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/lit.hpp"

namespace qn::cli {

class ClauseInput {
 public:
  explicit ClauseInput(int fd) : fd_(fd) {}
  // Reads to the end of the formula, calling add(lits, n) per clause: true
  // then, false when the stream ended early or broke (the command gave up).
  bool read(const std::function<void(const Lit *, size_t)> &add);
  int proof_fd() const { return proof_fd_; }  // -1 if none came

 private:
  bool fill();  // reads more words; false at the end of the stream or an error

  int fd_;
  int proof_fd_ = -1;
  std::vector<uint32_t> words_;
  size_t bytes_ = 0;  // valid bytes in words_
};

}  // namespace qn::cli
