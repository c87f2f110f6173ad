// A DRAT proof streamed to a file as the search derives it, text or binary
// (the bytes ProofWriter in proofs.py writes for the same steps).  Steps are
// encoded into a buffer that only ever holds whole steps and is written out
// when full, at flush() (every slice end) and at close(), so the file ends on
// a whole step whenever the process stops between two writes.  A failed
// write is remembered (error()) and ends the writing; the search goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/lit.hpp"
#include "core/proof_sink.hpp"

namespace qn::cli {

class ProofFile final : public ProofSink {
 public:
  // Takes the open descriptor `fd` (closed by close() unless it is 0..2);
  // with fd -1, steps are kept until attach() gives the file.
  ProofFile(int fd, bool binary);
  ~ProofFile() override;
  ProofFile(const ProofFile &) = delete;
  ProofFile &operator=(const ProofFile &) = delete;

  void step(bool deletion, const Lit *lits, size_t n) override;
  void attach(int fd) { fd_ = fd; }
  void flush();
  void close();  // flush, then close the descriptor
  uint64_t steps() const { return steps_; }
  int error() const { return errno_; }  // errno of the first failed write, 0 if none

 private:
  static constexpr size_t kFlushAt = size_t{1} << 18;  // 256 KiB: few writes, little memory per solver
  void put_text(bool deletion, const Lit *lits, size_t n);
  void put_binary(bool deletion, const Lit *lits, size_t n);

  int fd_;
  bool binary_;
  int errno_ = 0;
  uint64_t steps_ = 0;
  std::vector<char> buf_;
};

}  // namespace qn::cli
