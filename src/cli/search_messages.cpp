#include "cli/search_messages.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qn::cli {
namespace {

void put(std::string &out, const char *name, uint64_t value) {
  out += name;
  out += '=';
  out += std::to_string(value);
  out += '\n';
}

void put_seconds(std::string &out, double seconds) {
  char text[40];
  std::snprintf(text, sizeof(text), "seconds=%.17g\n", seconds);
  out += text;
}

}  // namespace

std::string solver_counters(const Solver *s, double seconds) {
  if (s != nullptr) return stats_counters(s->stats(), std::nullopt, seconds);
  std::string out;
  put_seconds(out, seconds);
  return out;
}

std::string stats_counters(const Stats &st, std::optional<uint64_t> all_conflicts, double seconds) {
  std::string out;
#define QN_PUT_STAT(name, place) put(out, #name, st.name);
  QN_SOLVER_STATS(QN_PUT_STAT)
#undef QN_PUT_STAT
  if (all_conflicts) put(out, "all_conflicts", *all_conflicts);
  put_seconds(out, seconds);
  return out;
}

std::string race_counters(const Stats &st, uint64_t all_conflicts, double seconds) {
  std::string out;
  put(out, "conflicts", st.conflicts);
  put(out, "decisions", st.decisions);
  put(out, "propagations", st.propagations);
  put(out, "restarts", st.restarts);
  put(out, "all_conflicts", all_conflicts);
  put_seconds(out, seconds);
  return out;
}

std::string prep_counters(const prep::Preprocessor &p, double seconds) {
  std::string out;
#define QN_PUT_PREP_STAT(name) put(out, #name, p.name);
  QN_PREP_STATS(QN_PUT_PREP_STAT)
#undef QN_PUT_PREP_STAT
  put_seconds(out, seconds);
  return out;
}

// A failed write ends the program: the command has gone.
void Messages::send(wire::Kind kind, std::string_view payload) {
  const auto n = static_cast<uint32_t>(payload.size());
  buf_.assign(1, static_cast<char>(kind));
  buf_.append(reinterpret_cast<const char *>(&n), sizeof(n));
  buf_.append(payload);
  if (kept_ != nullptr) {
    if (kind != wire::kProgress) kept_->append(buf_);
    return;
  }
  size_t done = 0;
  while (done < buf_.size()) {
    const ssize_t w = ::write(fd_, buf_.data() + done, buf_.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) ::_exit(1);
    done += static_cast<size_t>(w);
  }
}

void Messages::answer(uint8_t answer, const std::string &counters, const std::vector<bool> *model) {
  std::string payload{static_cast<char>(answer), static_cast<char>(model != nullptr)};
  const auto n = static_cast<uint32_t>(counters.size());
  payload.append(reinterpret_cast<const char *>(&n), sizeof(n));
  payload += counters;
  if (model != nullptr) {
    for (bool b : *model) payload += b ? '\1' : '\0';
  }
  send(wire::kAnswer, payload);
}

}  // namespace qn::cli
