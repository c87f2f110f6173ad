#include "cli/front_args.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "cli/plan.hpp"
#include "cli/py_format.hpp"
#include "cli/solve_defaults.hpp"
#include "cli/tokens.hpp"

namespace qn::cli {
namespace {

// The whole numbers taken: ASCII digits alone (no sign, space or
// underscore, which the Python front end reads too).
std::optional<uint64_t> whole(std::string_view s, uint64_t lo, uint64_t hi) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (unsigned char c : s) {
    if (!is_digit(c)) return std::nullopt;
    const uint64_t d = c - '0';
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  if (v < lo || v > hi) return std::nullopt;
  return v;
}

// The numbers taken: digits with a point and an exponent (1, 0.5, .5, 1e3);
// strtod rounds them as Python's float() does.
std::optional<double> real(std::string_view s, const OptionRange &r) {
  size_t i = 0, digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  }
  if (digits == 0 || s.size() > 40) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const size_t start = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    if (i == start) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  const double v = std::strtod(std::string(s).c_str(), nullptr);
  const bool above = r.lo_open ? v > r.lo : v >= r.lo;
  if (!std::isfinite(v) || !above || v > r.hi) return std::nullopt;
  return v;
}

std::optional<bool> boolean(std::string_view s) {
  std::string low;
  for (unsigned char c : s) {
    if (c >= 128) return std::nullopt;
    low += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  if (low == "1" || low == "true" || low == "yes" || low == "on") return true;
  if (low == "0" || low == "false" || low == "no" || low == "off") return false;
  return std::nullopt;
}

// A Solver option's value read as its type, as (for the search program, as shown).
template <class T>
std::optional<std::pair<std::string, std::string>> option_value(std::string_view s, OptionRange r) {
  if constexpr (std::is_same_v<T, bool>) {
    const auto b = boolean(s);
    if (!b) return std::nullopt;
    return std::pair{std::string(*b ? "1" : "0"), std::string(*b ? "True" : "False")};
  } else if constexpr (std::is_enum_v<T>) {
    T v{};
    if (!parse(s, &v)) return std::nullopt;
    return std::pair{std::string(s), std::string(s)};
  } else if constexpr (std::is_integral_v<T>) {
    const T hi = r.hi == kTop ? std::numeric_limits<T>::max() : static_cast<T>(r.hi);
    const auto v = whole(s, static_cast<uint64_t>(r.lo), hi);
    if (!v) return std::nullopt;
    return std::pair{std::to_string(*v), std::to_string(*v)};
  } else {
    const auto v = real(s, r);
    if (!v) return std::nullopt;
    return std::pair{py_repr(*v), py_repr(*v)};
  }
}

// The flag of a Solver option: --walk-flips for walk_flips.
std::string flag_of(std::string_view name) {
  std::string flag = "--";
  for (char c : name) flag += c == '_' ? '-' : c;
  return flag;
}

// Reads a Solver option's flag; false when `flag` is none, nullopt inside when its value is refused.
bool solver_option(const std::string &flag, std::string_view value, std::vector<std::optional<OptionText>> *given,
                   bool *refused) {
  size_t index = 0;
#define QN_FRONT_OPTION(opt, type, def, range, help)                           \
  if (flag == flag_of(#opt)) {                                                 \
    const auto v = option_value<type>(value, range);                           \
    if (!v) *refused = true;                                                   \
    else (*given)[index] = OptionText{#opt, v->first, v->second};              \
    return true;                                                               \
  }                                                                            \
  ++index;
  QN_SOLVER_OPTIONS(QN_FRONT_OPTION)
#undef QN_FRONT_OPTION
  return false;
}

constexpr size_t kNumOptions = 0
#define QN_COUNT_OPTION(...) +1
    QN_SOLVER_OPTIONS(QN_COUNT_OPTION)
#undef QN_COUNT_OPTION
    ;

bool plain_name(std::string_view file) {
  if (file.empty() || file == "-") return false;
  for (unsigned char c : file) {
    if (c >= 128) return false;  // printed as the Python front end escapes it: left to it
  }
  return true;
}

bool known_config(std::string_view name) {
  if (name == "auto") return true;
  for (const NamedConfig &c : kNamedConfigs) {
    if (c.name == name) return true;
  }
  return false;
}

// Reads the flag `flag` with its value; false when the Python front end is to take the command line.
bool value_flag(const std::string &flag, std::string_view v, SolveArgs *a, std::vector<std::optional<OptionText>> *given) {
  constexpr uint64_t u32 = std::numeric_limits<uint32_t>::max(), u64 = std::numeric_limits<uint64_t>::max();
  auto narrow = [](std::optional<uint64_t> x) { return x ? std::optional<uint32_t>(static_cast<uint32_t>(*x)) : std::nullopt; };
  if (flag == "--seconds") return (a->seconds = real(v, range(0))).has_value();
  if (flag == "--max-conflicts") return (a->max_conflicts = whole(v, 0, u64)).has_value();
  if (flag == "--slice") return (a->slice = whole(v, 0, u64)).has_value();
  if (flag == "--seed") return (a->seed = narrow(whole(v, 0, u32))).has_value();
  if (flag == "--rounds") return (a->rounds = narrow(whole(v, 0, u32))).has_value();
  if (flag == "--portfolio") return (a->portfolio = narrow(whole(v, 1, std::size(kNamedConfigs)))).has_value();
  if (flag == "--threads") return (a->threads = narrow(whole(v, 1, kMaxThreads))).has_value();
  if (flag == "--proof") {
    a->proof = std::string(v);
    return plain_name(v);
  }
  if (flag == "--config") {
    a->config = std::string(v);
    return known_config(v);
  }
  bool refused = false;
  return solver_option(flag, v, given, &refused) && !refused;
}

bool switch_flag(const std::string &flag, SolveArgs *a) {
  if (flag == "-q" || flag == "--quiet") return a->quiet = true;
  if (flag == "-v" || flag == "--verbose") return a->verbose = true;
  if (flag == "--preprocess") return a->preprocess = true;
  if (flag == "--relaxed") return a->relaxed = true;
  if (flag == "-f" || flag == "--force") return a->force = true;
  if (flag == "--binary-proof") return a->binary_proof = true;
  return false;
}

// The combinations the Python front end refuses (solve_options.check_usage).
bool refused(const SolveArgs &a) {
  const bool options = !a.options.empty() || a.seed;
  if ((a.quiet && a.verbose) || (a.rounds && !a.preprocess) || (a.binary_proof && !a.proof)) return true;
  if (a.portfolio && (a.config || a.max_conflicts || a.slice || a.verbose || options)) return true;
  if (a.threads && *a.threads > 1 &&
      ((a.config && *a.config != "auto") || a.portfolio || a.slice || a.max_conflicts || a.preprocess || options)) {
    return true;
  }
  return a.config == "auto" && options;
}

}  // namespace

bool SolveArgs::auto_plan() const {
  return (!config || *config == "auto") && !portfolio && !seed && options.empty();
}

std::vector<OptionText> SolveArgs::solver_options() const {
  std::vector<OptionText> out;
  auto set = [&](OptionText t) {
    for (OptionText &o : out) {
      if (o.name == t.name) {
        o = std::move(t);
        return;
      }
    }
    out.push_back(std::move(t));
  };
  for (const NamedConfig &c : kNamedConfigs) {
    if (!config || c.name != *config) continue;
    for (std::string_view rest = c.options; !rest.empty();) {
      const size_t comma = std::min(rest.find(','), rest.size());
      const std::string_view item = rest.substr(0, comma), value = item.substr(item.find('=') + 1);
      rest.remove_prefix(std::min(comma + 1, rest.size()));
      std::string plain(value[0] == '\'' ? value.substr(1, value.size() - 2) : value);
      std::string wire = plain == "True" ? "1" : plain == "False" ? "0" : plain;
      set(OptionText{std::string(item.substr(0, item.find('='))), wire, plain});
    }
  }
  for (const OptionText &o : options) set(o);
  if (seed) set(OptionText{"rnd_seed", std::to_string(*seed), std::to_string(*seed)});
  return out;
}

std::vector<std::string> named_specs() {
  std::vector<std::string> out;
  for (const NamedConfig &c : kNamedConfigs) {
    SolveArgs one;
    one.config = std::string(c.name);
    std::string spec = "--named=" + std::string(c.name);
    for (const OptionText &o : one.solver_options()) spec += "," + o.name + "=" + o.value;
    out.push_back(std::move(spec));
  }
  return out;
}

std::optional<SolveArgs> parse_solve_args(const std::vector<std::string> &args) {
  SolveArgs a;
  std::vector<std::optional<OptionText>> given(kNumOptions);
  bool have_file = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg.empty() || arg[0] != '-' || arg == "-") {
      if (have_file || !plain_name(arg)) return std::nullopt;
      a.file = arg;
      have_file = true;
      continue;
    }
    if (switch_flag(arg, &a)) continue;
    if (arg.size() < 3 || arg[1] != '-') return std::nullopt;
    const size_t eq = arg.find('=');
    std::string value;
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') {
      value = args[++i];
    } else {
      return std::nullopt;
    }
    if (!value_flag(arg.substr(0, eq), value, &a, &given)) return std::nullopt;
  }
  for (auto &o : given) {
    if (o) a.options.push_back(std::move(*o));
  }
  if (!have_file || refused(a)) return std::nullopt;
  return a;
}

}  // namespace qn::cli
