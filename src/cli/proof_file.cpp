#include "cli/proof_file.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace qn::cli {

ProofFile::ProofFile(int fd, bool binary) : fd_(fd), binary_(binary) { buf_.reserve(kFlushAt + 4096); }

ProofFile::~ProofFile() { close(); }

void ProofFile::step(bool deletion, const Lit *lits, size_t n) {
  if (binary_) {
    put_binary(deletion, lits, n);
  } else {
    put_text(deletion, lits, n);
  }
  ++steps_;
  if (buf_.size() >= kFlushAt) flush();
}

// "d " for a deletion, the literals in DIMACS form, then "0\n".
void ProofFile::put_text(bool deletion, const Lit *lits, size_t n) {
  const size_t at = buf_.size();
  buf_.resize(at + 2 + 12 * n + 2);
  char *p = buf_.data() + at;
  if (deletion) {
    *p++ = 'd';
    *p++ = ' ';
  }
  for (size_t i = 0; i < n; ++i) {
    p = std::to_chars(p, p + 12, to_dimacs(lits[i])).ptr;
    *p++ = ' ';
  }
  *p++ = '0';
  *p++ = '\n';
  buf_.resize(static_cast<size_t>(p - buf_.data()));
}

// 'a' or 'd', each literal as 2*var + negated + 2 in 7-bit groups, low first,
// then a 0 byte.
void ProofFile::put_binary(bool deletion, const Lit *lits, size_t n) {
  const size_t at = buf_.size();
  buf_.resize(at + 1 + 5 * n + 1);
  char *p = buf_.data() + at;
  *p++ = deletion ? 'd' : 'a';
  for (size_t i = 0; i < n; ++i) {
    uint64_t code = uint64_t{lits[i]} + 2;
    while (code > 127) {
      *p++ = static_cast<char>((code & 127) | 128);
      code >>= 7;
    }
    *p++ = static_cast<char>(code);
  }
  *p++ = 0;
  buf_.resize(static_cast<size_t>(p - buf_.data()));
}

void ProofFile::flush() {
  if (fd_ < 0) return;  // no file yet: the steps wait for attach()
  size_t done = 0;
  while (errno_ == 0 && done < buf_.size()) {
    const ssize_t w = ::write(fd_, buf_.data() + done, buf_.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      errno_ = w < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(w);
  }
  buf_.clear();
}

void ProofFile::close() {
  if (fd_ < 0) {  // never given a file, or closed already
    buf_.clear();
    return;
  }
  flush();
  if (fd_ > 2) ::close(fd_);
  fd_ = -1;
}

}  // namespace qn::cli
