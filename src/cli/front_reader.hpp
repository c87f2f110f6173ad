// The native front end's DIMACS CNF reader: what the Python front end's
// CnfReader (dimacs.py) accepts, with its messages and line numbers, over a
// plain file read in the same blocks of whole lines.  Numbers-only runs of
// lines are taken a block at a time; lines with anything else (comments, the
// header, a '%' end marker, junk) one at a time, so an error names the line
// where it is.  The first refused token of a run of numbers is reported
// before anything else wrong with that run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/lit.hpp"

namespace qn::cli {

// An input that cannot be read: "FILE:LINE: what" or "FILE: what".
struct InputError {
  std::string text;
};

class CnfFileReader {
 public:
  // Called at the header (relaxed without one: before the first clause,
  // with 0, 0, 0); may throw InputError.
  using OnHeader = std::function<void(uint64_t nvars, uint64_t nclauses, uint64_t line)>;
  using Sink = std::function<void(const Lit *lits, size_t n)>;
  // Called before each block; may throw to stop the reading.
  using OnBlock = std::function<void()>;

  CnfFileReader(std::string name, int fd, bool relaxed, OnHeader on_header, Sink sink, OnBlock on_block);
  void read();  // throws InputError

  uint64_t nvars() const { return std::max(declared_vars_, maxvar_); }
  uint64_t nclauses() const { return nclauses_; }

 private:
  [[noreturn]] void error(uint64_t line, const std::string &what) const;
  bool next_block(std::string_view *block);
  void lines(std::string_view text, uint64_t line0);
  void header(std::string_view s, uint64_t line);
  void numbers(std::string_view block, uint64_t line0);
  [[noreturn]] void refuse_first(std::string_view block, uint64_t line0) const;
  void refuse(std::string_view block, uint64_t line0, std::string_view token, size_t at) const;
  void finish();

  std::string name_;
  int fd_;
  bool relaxed_;
  OnHeader on_header_;
  Sink sink_;
  OnBlock on_block_;
  uint64_t limit_;  // largest variable accepted
  uint64_t maxvar_ = 0;
  int64_t header_line_ = 0;  // -1: relaxed, without a header
  uint64_t declared_vars_ = 0, declared_clauses_ = 0;
  uint64_t nclauses_ = 0;
  bool done_ = false;           // a '%' line ended the formula
  std::vector<Lit> tail_;       // the clause not ended yet
  uint64_t tail_line_ = 0;      // the last non-blank line of the block where it started
  std::vector<int64_t> codes_;  // scratch: a run's codes
  std::string data_, carry_, pending_;
};

}  // namespace qn::cli
