// Option strings as messages show them: in double quotes, with the escapes
// of a debug-printed string.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace qn {

// Decodes one UTF-8 sequence starting at s[i]; input comes from Python's
// UTF-8 encoder, so it is well formed.
inline uint32_t next_code_point(std::string_view s, size_t &i) {
  const auto b = static_cast<unsigned char>(s[i]);
  int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
  uint32_t cp = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
  ++i;
  for (; extra > 0 && i < s.size(); --extra, ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  return cp;
}

inline bool printable(uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return false;
  if (cp == 0xAD || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
      (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF || (cp >= 0xD800 && cp <= 0xDFFF) ||
      (cp >= 0xFFF9 && cp <= 0xFFFB) || cp > 0x10FFFF)
    return false;
  return true;
}

// A UTF-8 string in double quotes with backslash escapes for '"', '\\',
// \0 \t \r \n and \u{hex} for other control characters.
inline std::string quote_option(std::string_view s) {
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

}  // namespace qn
