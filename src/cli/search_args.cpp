#include "cli/search_args.hpp"

#include "cli/plan.hpp"
#include "cli/deadline.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

namespace qn::cli {
namespace {

bool parse_value(std::string_view s, uint64_t *out) {
  const auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && !s.empty();
}
bool parse_value(std::string_view s, uint32_t *out) {
  uint64_t v = 0;
  if (!parse_value(s, &v)) return false;
  *out = static_cast<uint32_t>(v);  // as the module's option reading does
  return true;
}
bool parse_value(std::string_view s, bool *out) {
  if (s != "0" && s != "1") return false;
  *out = s == "1";
  return true;
}
bool parse_value(std::string_view s, double *out) {
  const std::string text(s);  // strtod needs the terminating zero
  char *end = nullptr;
  *out = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size();
}
bool parse_value(std::string_view s, RestartPolicy *out) { return parse(s, out); }
bool parse_value(std::string_view s, MinimizeMode *out) { return parse(s, out); }

bool parse_option(std::string_view name, std::string_view value, Config *cfg) {
#define QN_PARSE_OPTION(opt, type, def, ...) \
  if (name == #opt) return parse_value(value, &cfg->opt);
  QN_SOLVER_OPTIONS(QN_PARSE_OPTION)
#undef QN_PARSE_OPTION
  return false;
}

// NAME[,OPTION=VALUE...]: a named configuration of auto's plans.
bool parse_named(std::string_view spec, SearchArgs *a) {
  const size_t comma = spec.find(',');
  const std::string name(spec.substr(0, comma));
  if (name.empty() || a->named.count(name)) return false;
  Config &cfg = a->named[name];
  std::string_view rest = comma == std::string_view::npos ? std::string_view() : spec.substr(comma + 1);
  while (!rest.empty()) {
    const size_t end = rest.find(',');
    const std::string_view item = rest.substr(0, end);
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos || !parse_option(item.substr(0, eq), item.substr(eq + 1), &cfg)) return false;
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  return true;
}

bool parse_flag(std::string_view name, std::string_view value, SearchArgs *a) {
  if (name == "--proof") {
    a->proof = true;
    a->binary_proof = value == "binary";
    return value == "binary" || value == "text";
  }
  if (name == "--preprocess") {
    a->preprocess = true;
    return parse_value(value, &a->rounds);
  }
  if (name == "--slice") return parse_value(value, &a->slice);
  if (name == "--rounds") return parse_value(value, &a->rounds);
  if (name == "--auto") return parse_value(value, &a->auto_plan);
  if (name == "--proof-dir") {
    a->proof_dir = value;
    return !value.empty();
  }
  if (name == "--named") return parse_named(value, a);
  if (name == "--threads") return parse_value(value, &a->threads) && a->threads >= 1 && a->threads <= kMaxThreads;
  if (name == "--portfolio") {  // NAME,NAME...
    for (std::string_view rest = value; !rest.empty();) {
      const size_t comma = rest.find(',');
      a->portfolio.emplace_back(rest.substr(0, comma));
      if (a->portfolio.back().empty()) return false;
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return !a->portfolio.empty();
  }
  if (name == "--probe") {  // CLAUSES,CONFLICTS
    const size_t comma = value.find(',');
    return comma != std::string_view::npos && parse_value(value.substr(0, comma), &a->probe_clauses) &&
           parse_value(value.substr(comma + 1), &a->probe_conflicts);
  }
  if (name == "--max-conflicts") {
    a->max_conflicts.emplace();
    return parse_value(value, &*a->max_conflicts);
  }
  if (name == "--deadline") {
    double t = 0;
    if (!parse_value(value, &t) || !std::isfinite(t)) return false;
    a->deadline = clock_at(t);
    return true;
  }
  return false;
}

}  // namespace

bool parse_search_args(int argc, char **argv, SearchArgs *out) {
  if (argc < 2 || !parse_value(argv[1], &out->nvars)) return false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const size_t eq = arg.find('=');
    if (eq == std::string_view::npos) return false;
    const std::string_view name = arg.substr(0, eq), value = arg.substr(eq + 1);
    if (!(name.starts_with("--") ? parse_flag(name, value, out) : parse_option(name, value, &out->config))) {
      return false;
    }
  }
  return true;
}

}  // namespace qn::cli
