#include "config.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qn {

std::optional<RestartPolicy> parse_restart(std::string_view s) {
  if (s == "glucose") return RestartPolicy::Glucose;
  if (s == "luby") return RestartPolicy::Luby;
  if (s == "none") return RestartPolicy::None;
  return std::nullopt;
}

std::optional<MinimizeMode> parse_ccmin(std::string_view s) {
  if (s == "deep") return MinimizeMode::Deep;
  if (s == "basic") return MinimizeMode::Basic;
  if (s == "none") return MinimizeMode::None;
  return std::nullopt;
}

namespace {

// Decodes one UTF-8 sequence starting at s[i]; input comes from Python's
// UTF-8 encoder, so it is well formed.
uint32_t next_code_point(std::string_view s, size_t &i) {
  const auto b = static_cast<unsigned char>(s[i]);
  int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
  uint32_t cp = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
  ++i;
  for (; extra > 0 && i < s.size(); --extra, ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  return cp;
}

bool printable(uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return false;
  if (cp == 0xAD || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
      (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF || (cp >= 0xD800 && cp <= 0xDFFF) ||
      (cp >= 0xFFF9 && cp <= 0xFFFB) || cp > 0x10FFFF)
    return false;
  return true;
}

}  // namespace

std::string quote_option(std::string_view s) {
  std::string out = "\"";
  size_t i = 0;
  while (i < s.size()) {
    const size_t start = i;
    const uint32_t cp = next_code_point(s, i);
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\0': out += "\\0"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      default: break;
    }
    if (printable(cp)) {
      out.append(s.substr(start, i - start));
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
      out += buf;
    }
  }
  out += '"';
  return out;
}

std::string unknown_restart_message(std::string_view s) { return "unknown restart " + quote_option(s); }
std::string unknown_ccmin_message(std::string_view s) { return "unknown ccmin " + quote_option(s); }

bool luby_base_ok(double v) { return v > 0.0; }  // false for NaN too

// Python's repr of a float: the shortest digits that read back to the same
// value, in positional form for decimal exponents -4 to 15 and in
// scientific form otherwise.
std::string float_repr(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  for (int prec = 0; prec <= 16; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*e", prec, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  // buf is "[-]d[.ddd]e[+-]XX": split it into sign, digits and exponent.
  std::string s = buf;
  const size_t e = s.find('e');
  const int exp = std::atoi(s.c_str() + e + 1);
  std::string mant = s.substr(0, e);
  const bool negative = mant[0] == '-';
  if (negative) mant.erase(0, 1);
  std::string digits;
  for (char c : mant)
    if (c != '.') digits += c;
  std::string out = negative ? "-" : "";
  if (exp >= -4 && exp < 16) {
    if (exp < 0) {
      out += "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
    } else if (static_cast<size_t>(exp) + 1 >= digits.size()) {
      out += digits + std::string(static_cast<size_t>(exp) + 1 - digits.size(), '0') + ".0";
    } else {
      out += digits.substr(0, static_cast<size_t>(exp) + 1) + "." + digits.substr(static_cast<size_t>(exp) + 1);
    }
    return out;
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) out += "." + digits.substr(1);
  std::snprintf(buf, sizeof buf, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
  return out + buf;
}

std::string luby_base_message(double v) { return "luby_base must be a positive number, got " + float_repr(v); }

}  // namespace qn
