// Numbers written as the Python front end writes them, so that both front
// ends print the same bytes: repr() of a float, and "%.3f"-style fixed
// point (printf's, which rounds as Python's format does).
#pragma once

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace qn::cli {

// repr(x): the shortest digits that read back to x, in fixed point with at
// least one decimal (100.0, 0.0001) unless the exponent is below -4 or above
// 15 (1e-05, 1e+16).
inline std::string py_repr(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  std::string out = std::signbit(x) ? "-" : "";
  if (x == 0) return out + "0.0";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof(buf), std::fabs(x), std::chars_format::scientific);
  const std::string_view s(buf, static_cast<size_t>(r.ptr - buf));  // d[.ddd]e[+-]XX
  const size_t e = s.find('e');
  std::string digits;
  for (char c : s.substr(0, e)) {
    if (c != '.') digits += c;
  }
  const int exp10 = std::atoi(std::string(s.substr(e + 1)).c_str());
  const int point = exp10 + 1;  // digits before the decimal point
  const int n = static_cast<int>(digits.size());
  if (point <= -4 || point > 16) {
    out += digits[0];
    if (n > 1) out += "." + digits.substr(1);
    char tail[16];
    std::snprintf(tail, sizeof(tail), "e%c%02d", exp10 < 0 ? '-' : '+', std::abs(exp10));
    return out + tail;
  }
  if (point <= 0) return out + "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  if (point >= n) return out + digits + std::string(static_cast<size_t>(point - n), '0') + ".0";
  return out + digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
}

// printf into a std::string.
template <class... T>
std::string format(const char *fmt, T... args) {
  char buf[128];
  const int n = std::snprintf(buf, sizeof(buf), fmt, args...);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof(buf)) return std::string(buf, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), fmt, args...);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace qn::cli
