// The search program's run (search_main.cpp): the plan its arguments ask
// for, or auto's, chosen from the formula's features, run by a plan runner.
#pragma once

#include "cli/search_args.hpp"
#include "cli/search_messages.hpp"

namespace qn::cli {

int search_auto(const SearchArgs &a, Messages &out);

}  // namespace qn::cli
