// The tokenizers of the command line's DIMACS and DRAT readers, in plain
// C++ (nothing here knows about Python): a block of bytes becomes a vector
// of codes, one per literal (the internal literal 2*(var-1)+negated) and
// one per clause or step end, or is refused whole.
//
// Text: a token is an optional '-' and ASCII digits (leading zeros
// allowed; "-0" is refused), or in a proof 'd' as the first token of a step.  A
// literal's variable must not exceed the scanner's `limit`.
// Binary DRAT: 'a' or 'd', literals as 2*var + negated (7 bits a byte, low
// first, high bit on all but the last byte), then a 0 byte.  A literal
// reads 2 to 2**32-1; high groups of zeros are accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qn::cli {

inline constexpr int64_t kEnd = -1;  // token 0: the end of a clause or step
inline constexpr int64_t kDel = -2;  // token d (text) or byte 'd' (binary): a deletion step
inline constexpr int64_t kAdd = -3;  // byte 'a' (binary): an addition step

// What bytes.split() splits at: space, \t, \n, \v, \f and \r.
inline bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

struct TextScan {
  int64_t limit;
  bool proof;             // 'd' allowed at a step's start
  bool at_start = true;   // the next token starts a step
  int64_t maxvar = 0;
};

// Appends the code of an accepted number: 0 ends a clause or step, any
// other is a literal of variable |v|.
inline void emit_number(TextScan &ts, int64_t v, bool negative, std::vector<int64_t> &out) {
  ts.at_start = v == 0;
  if (v == 0) {
    out.push_back(kEnd);
  } else {
    out.push_back(2 * (v - 1) + negative);
    if (v > ts.maxvar) ts.maxvar = v;
  }
}

// Appends the codes of the token at `p` to `out` and returns its end, or
// nullptr if the token is refused.
inline const unsigned char *text_token(TextScan &ts, const unsigned char *p, const unsigned char *end,
                                       std::vector<int64_t> &out) {
  if (ts.proof && *p == 'd' && (p + 1 == end || is_space(p[1]))) {
    if (!ts.at_start) return nullptr;
    ts.at_start = false;
    out.push_back(kDel);
    return p + 1;
  }
  const bool negative = *p == '-';
  const unsigned char *digits = p + negative;
  int64_t v = 0;
  p = digits;
  for (; p < end && is_digit(*p); ++p) {
    if (v <= ts.limit) v = v * 10 + (*p - '0');
  }
  if (p == digits || (p < end && !is_space(*p)) || v > ts.limit || (negative && v == 0)) return nullptr;
  emit_number(ts, v, negative, out);
  return p;
}

// Appends the codes of every token of [p, end); false if one is refused.
// Numbers of up to 18 digits, all that a variable within any limit has,
// are read without looking at the limit digit by digit; longer ones, and
// the rest, by text_token.
inline bool scan_text(TextScan &ts, const unsigned char *p, const unsigned char *end, std::vector<int64_t> &out) {
  constexpr ptrdiff_t kShort = 18;
  while (true) {
    while (p < end && is_space(*p)) ++p;
    if (p == end) return true;
    const bool negative = *p == '-';
    const unsigned char *digits = p + negative;
    const unsigned char *q = digits;
    int64_t v = 0;
    while (q < end && is_digit(*q) && q - digits < kShort) v = v * 10 + (*q++ - '0');
    if (q == digits || (q < end && !is_space(*q))) {  // 'd', a long number, or something refused
      p = text_token(ts, p, end, out);
      if (p == nullptr) return false;
      continue;
    }
    if (v > ts.limit || (negative && v == 0)) return false;
    emit_number(ts, v, negative, out);
    p = q;
  }
}

inline const unsigned char *binary_literal(const unsigned char *p, const unsigned char *end,
                                           std::vector<int64_t> &out) {
  // Literals of one or two bytes, most of them, at once.
  if (end - p >= 2 && (p[0] < 128 || p[1] < 128)) {
    const bool one = p[0] < 128;
    const uint64_t code = one ? p[0] : (p[0] & 127u) | (uint64_t{p[1]} << 7);
    if (code < 2) return nullptr;
    out.push_back(static_cast<int64_t>(code) - 2);
    return p + (one ? 1 : 2);
  }
  uint64_t code = 0;
  bool big = false;
  for (unsigned shift = 0;; shift = shift < 64 ? shift + 7 : shift) {
    if (p == end) return nullptr;
    const unsigned char b = *p++;
    const uint64_t bits = b & 127u;
    if (bits != 0 && shift >= 32) big = true;
    if (bits != 0 && shift < 32) code |= bits << shift;
    if (b < 128) break;
  }
  if (big || code < 2 || code >= (uint64_t{1} << 32)) return nullptr;
  out.push_back(static_cast<int64_t>(code) - 2);
  return p;
}

// Appends the codes of whole binary steps (kind, literals, kEnd); false if
// the block holds anything else.
inline bool scan_binary(const unsigned char *p, const unsigned char *end, std::vector<int64_t> &out) {
  while (p < end) {
    const unsigned char kind = *p++;
    if (kind != 'a' && kind != 'd') return false;
    out.push_back(kind == 'd' ? kDel : kAdd);
    while (true) {
      if (p == end) return false;
      if (*p == 0) break;
      p = binary_literal(p, end, out);
      if (p == nullptr) return false;
    }
    ++p;
    out.push_back(kEnd);
  }
  return true;
}

// Calls f(from, to) for each whole clause or step codes[from, to) (its kEnd
// left out), in order, while f returns true.  Where the unfinished rest of
// the codes starts, or kStopped when f stopped.
inline constexpr size_t kStopped = SIZE_MAX;
template <class F>
size_t each_whole(const std::vector<int64_t> &codes, F &&f) {
  size_t from = 0;
  for (size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] != kEnd) continue;
    if (!f(from, i)) return kStopped;
    from = i + 1;
  }
  return from;
}

}  // namespace qn::cli
