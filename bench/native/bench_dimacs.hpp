// The bench programs' DIMACS reader: lenient (no checks beyond what the
// benchmarks need), a file into clauses of solver literals; nothing, with a
// line on stderr, when the file cannot be opened.
#pragma once

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/lit.hpp"

namespace bench {

struct Cnf {
  uint32_t nvars = 0;
  std::vector<std::vector<qn::Lit>> clauses;
};

inline std::optional<Cnf> read_dimacs(const std::string &path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return std::nullopt;
  }
  Cnf cnf;
  uint32_t &nvars = cnf.nvars;
  std::vector<std::vector<qn::Lit>> &clauses = cnf.clauses;
  std::string line;
  std::vector<qn::Lit> cur;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == 'c') continue;
    if (line[0] == '%') break;
    std::istringstream ss(line);
    if (line[0] == 'p') {
      std::string p, cnf;
      ss >> p >> cnf >> nvars;
      continue;
    }
    long d;
    while (ss >> d) {
      if (d == 0) {
        clauses.push_back(cur);
        cur.clear();
      } else {
        cur.push_back(qn::from_dimacs(static_cast<int32_t>(d)));
      }
    }
  }
  if (!cur.empty()) clauses.push_back(cur);
  return cnf;
}

}  // namespace bench
