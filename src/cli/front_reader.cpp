#include "cli/front_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/py_format.hpp"
#include "cli/tokens.hpp"

namespace qn::cli {
namespace {

constexpr size_t kBlock = size_t{1} << 14;  // bytes read at a time, as solve.py's STREAM_BLOCK
constexpr uint64_t kMaxVar = (uint64_t{1} << 31) - 2;
constexpr size_t kVarDigits = 10;  // of kMaxVar

bool numeric(unsigned char c) { return is_digit(c) || c == '-' || is_space(c); }

std::string_view rstrip(std::string_view s) {
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view strip(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  return rstrip(s);
}

std::string_view without_zeros(std::string_view s) {
  while (!s.empty() && s.front() == '0') s.remove_prefix(1);
  return s;
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return is_digit(c); });
}

uint64_t lines_in(std::string_view s) { return static_cast<uint64_t>(std::count(s.begin(), s.end(), '\n')); }

std::vector<std::string_view> split(std::string_view s) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (true) {
    while (i < s.size() && is_space(s[i])) ++i;
    if (i == s.size()) return parts;
    const size_t start = i;
    while (i < s.size() && !is_space(s[i])) ++i;
    parts.push_back(s.substr(start, i - start));
  }
}

// A token as it can be printed: quoted, non-printable bytes as \xNN.
std::string shown(std::string_view token, size_t limit = 24) {
  std::string text = "'";
  for (unsigned char c : token.substr(0, limit)) text += c >= 32 && c < 127 ? std::string(1, c) : format("\\x%02x", c);
  return text + (token.size() > limit ? "...'" : "'");
}

// A number token as text, cut short when it is very long.
std::string number(std::string_view token, size_t limit = 40) {
  if (token.size() <= limit) return std::string(token);
  return std::string(token.substr(0, 20)) + "... (" + std::to_string(token.size()) + " characters)";
}

// Reads up to `n` bytes (fewer only at the end of the file); the count, or -1 with errno.
ssize_t read_full(int fd, char *buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

CnfFileReader::CnfFileReader(std::string name, int fd, bool relaxed, OnHeader on_header, Sink sink, OnBlock on_block)
    : name_(std::move(name)),
      fd_(fd),
      relaxed_(relaxed),
      on_header_(std::move(on_header)),
      sink_(std::move(sink)),
      on_block_(std::move(on_block)),
      limit_(kMaxVar) {}

void CnfFileReader::error(uint64_t line, const std::string &what) const {
  throw InputError{name_ + (line ? ":" + std::to_string(line) : "") + ": " + what};
}

// The next block of whole lines (the last one may lack its newline); false at the end.
bool CnfFileReader::next_block(std::string_view *block) {
  char buf[kBlock];
  for (;;) {
    const ssize_t got = read_full(fd_, buf, kBlock);
    if (got < 0) error(0, std::strerror(errno));
    if (got == 0) {
      data_.swap(carry_);
      carry_.clear();
      *block = data_;
      return !data_.empty();
    }
    data_ = carry_;
    data_.append(buf, static_cast<size_t>(got));
    const size_t cut = data_.rfind('\n') + 1;  // 0: no newline yet
    carry_.assign(data_, cut);
    if (cut == 0) continue;
    data_.resize(cut);
    *block = data_;
    return true;
  }
}

void CnfFileReader::read() {
  std::string_view block;
  for (uint64_t line0 = 1; !done_ && next_block(&block); line0 += lines_in(block)) {
    on_block_();
    std::string_view rest = block;
    uint64_t at = line0;
    size_t last = rest.size();  // the last byte that is no number, space or '-'
    while (last > 0 && numeric(static_cast<unsigned char>(rest[last - 1]))) --last;
    if (last > 0) {
      const size_t nl = rest.find('\n', last - 1);
      const size_t cut = nl == std::string_view::npos ? rest.size() : nl + 1;
      lines(rest.substr(0, cut), at);
      if (done_) break;
      at += lines_in(rest.substr(0, cut));
      rest.remove_prefix(cut);
    }
    if (!rest.empty()) numbers(rest, at);
  }
  finish();
}

void CnfFileReader::lines(std::string_view text, uint64_t line0) {
  pending_.clear();
  uint64_t npending = 0, pending_line = 0;
  uint64_t i = 0;
  for (size_t pos = 0; pos <= text.size(); ++i) {
    const size_t nl = std::min(text.find('\n', pos), text.size());
    const std::string_view ln = text.substr(pos, nl - pos);
    pos = nl + 1;
    const std::string_view s = strip(ln);
    if (s.empty() || s[0] == 'c') continue;
    if (s[0] == 'p' || s[0] == '%') {
      if (npending) numbers(pending_, pending_line);
      pending_.clear();
      npending = 0;
      if (s[0] == '%') {
        done_ = true;
        return;
      }
      header(s, line0 + i);
      continue;
    }
    if (npending == 0) {
      pending_line = line0 + i;
    } else if (pending_line + npending != line0 + i) {
      numbers(pending_, pending_line);
      pending_.clear();
      npending = 0;
      pending_line = line0 + i;
    }
    if (npending++) pending_ += '\n';
    pending_ += ln;
  }
  if (npending) numbers(pending_, pending_line);
}

void CnfFileReader::header(std::string_view s, uint64_t line) {
  const std::vector<std::string_view> parts = split(s);
  if (header_line_ != 0) error(line, "second 'p' line");
  if (nclauses_ || !tail_.empty()) error(line, "'p' line after the first clause");
  if (parts.size() != 4 || parts[0] != "p" || parts[1] != "cnf" || !all_digits(parts[2]) || !all_digits(parts[3])) {
    error(line, "bad header " + shown(s, 40) + ": expected 'p cnf VARIABLES CLAUSES'");
  }
  if (without_zeros(parts[3]).size() > 18) {
    error(line, "header declares " + number(parts[3]) + " clauses, more than any file holds");
  }
  const std::string_view vars = without_zeros(parts[2]);
  if (vars.size() > kVarDigits || std::stoull(std::string(parts[2])) > kMaxVar) {
    error(line, "header declares " + number(parts[2]) + " variables, more than the largest variable " +
                    std::to_string(kMaxVar));
  }
  header_line_ = static_cast<int64_t>(line);
  declared_vars_ = std::stoull(std::string(parts[2]));
  declared_clauses_ = std::stoull(std::string(parts[3]));
  if (!relaxed_) limit_ = declared_vars_;
  on_header_(declared_vars_, declared_clauses_, line);
}

void CnfFileReader::numbers(std::string_view block, uint64_t line0) {
  codes_.clear();
  TextScan ts{static_cast<int64_t>(limit_), false};
  const auto *p = reinterpret_cast<const unsigned char *>(block.data());
  if (!scan_text(ts, p, p + block.size(), codes_)) refuse_first(block, line0);
  maxvar_ = std::max(maxvar_, static_cast<uint64_t>(ts.maxvar));
  if (codes_.empty()) return;
  if (header_line_ == 0) {
    if (!relaxed_) {
      const size_t lead = block.find_first_not_of(" \t\n\v\f\r");
      error(line0 + lines_in(block.substr(0, lead)),
            "clause before the 'p cnf' header (use --relaxed to read files without one)");
    }
    header_line_ = -1;
    on_header_(0, 0, 0);
  }
  const bool started_here = tail_.empty();
  uint64_t n = 0;
  for (const int64_t c : codes_) {
    if (c != kEnd) {
      tail_.push_back(static_cast<Lit>(c));
      continue;
    }
    sink_(tail_.data(), tail_.size());
    tail_.clear();
    ++n;
  }
  nclauses_ += n;
  if (!tail_.empty() && (n || started_here)) tail_line_ = line0 + lines_in(rstrip(block));
}

// The block holds a token that scan_text refused: reports the first one.
void CnfFileReader::refuse_first(std::string_view block, uint64_t line0) const {
  for (size_t i = 0;;) {
    while (i < block.size() && is_space(block[i])) ++i;
    if (i == block.size()) break;
    const size_t start = i;
    while (i < block.size() && !is_space(block[i])) ++i;
    const std::string_view tok = block.substr(start, i - start);
    const bool negative = tok[0] == '-';
    const std::string_view digits = tok.substr(negative);
    const std::string_view v = without_zeros(digits);
    if (!all_digits(digits) || (v.empty() && negative) || v.size() > kVarDigits) refuse(block, line0, tok, start);
    uint64_t var = 0;
    for (const char c : v) var = var * 10 + static_cast<uint64_t>(c - '0');  // 10 digits at most
    if (var > limit_) refuse(block, line0, tok, start);
  }
  error(line0, "unexpected input");  // not reached: scan_text refuses only what the loop above does
}

void CnfFileReader::refuse(std::string_view block, uint64_t line0, std::string_view tok, size_t at) const {
  const uint64_t line = line0 + lines_in(block.substr(0, at));
  const std::string_view digits = tok.substr(tok[0] == '-');
  if (!all_digits(digits)) error(line, "unexpected " + shown(tok));
  if (without_zeros(digits).empty()) error(line, shown(tok) + " is not a literal (0 ends a clause, and has no sign)");
  if (header_line_ != 0 && !relaxed_) {
    error(line, "literal " + number(tok) + " exceeds the header's " + std::to_string(declared_vars_) + " variables");
  }
  error(line, "literal " + number(tok) + " is out of range (largest variable " + std::to_string(kMaxVar) + ")");
}

void CnfFileReader::finish() {
  if (!tail_.empty()) {
    if (!relaxed_) error(tail_line_, "last clause lacks its terminating 0");
    sink_(tail_.data(), tail_.size());
    ++nclauses_;
    tail_.clear();
  }
  if (header_line_ == 0) {
    if (!relaxed_) error(0, "no 'p cnf' header (use --relaxed to read files without one)");
    on_header_(0, 0, 0);
  } else if (!relaxed_ && nclauses_ != declared_clauses_) {
    error(static_cast<uint64_t>(header_line_), "header declares " + std::to_string(declared_clauses_) +
                                                   " clauses, the file has " + std::to_string(nclauses_));
  }
}

}  // namespace qn::cli
