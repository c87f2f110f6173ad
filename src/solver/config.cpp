// The option strings of Config and their spellings.
#include "solver/config.hpp"

#include <cstddef>

namespace qn {
namespace {

template <class E>
struct Spelling {
  std::string_view text;
  E value;
};

constexpr Spelling<RestartPolicy> kRestarts[] = {
    {"glucose", RestartPolicy::Glucose}, {"luby", RestartPolicy::Luby}, {"none", RestartPolicy::None}};
constexpr Spelling<MinimizeMode> kMinimizeModes[] = {
    {"deep", MinimizeMode::Deep}, {"basic", MinimizeMode::Basic}, {"none", MinimizeMode::None}};

template <class E, size_t N>
bool find(const Spelling<E> (&table)[N], std::string_view s, E *out) {
  for (const Spelling<E> &e : table) {
    if (e.text != s) continue;
    *out = e.value;
    return true;
  }
  return false;
}

template <class E, size_t N>
std::string_view text_of(const Spelling<E> (&table)[N], E v) {
  for (const Spelling<E> &e : table)
    if (e.value == v) return e.text;
  return {};
}

}  // namespace

bool parse(std::string_view s, RestartPolicy *out) { return find(kRestarts, s, out); }
bool parse(std::string_view s, MinimizeMode *out) { return find(kMinimizeModes, s, out); }
std::string_view spelling(RestartPolicy p) { return text_of(kRestarts, p); }
std::string_view spelling(MinimizeMode m) { return text_of(kMinimizeModes, m); }

}  // namespace qn
