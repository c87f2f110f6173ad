// Values of a literal in the checker's assignment.
#pragma once

#include <cstdint>

namespace qn::checker {

constexpr uint8_t kUnassigned = 0;
constexpr uint8_t kTrue = 1;
constexpr uint8_t kFalse = 2;

}  // namespace qn::checker
