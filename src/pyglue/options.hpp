// The solver options on the Python side, driven by QN_SOLVER_OPTIONS: their
// names in keyword order, reading one from a Python value, the validation
// of a record once every option has been read, and the defaults as the
// Solver constructor's doc string shows them.  The module's Solver and
// solve_portfolio and the command line's Runner all go through these.
#pragma once

#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "pyglue/convert.hpp"
#include "solver/config.hpp"
#include "solver/quote.hpp"

namespace qn::glue {

#define QN_COUNT_OPTION(name, type, value, ...) +1
inline constexpr size_t kNumOptions = 0 QN_SOLVER_OPTIONS(QN_COUNT_OPTION);
#undef QN_COUNT_OPTION

// A Config being read.  Option strings are parsed as they are read; an
// unknown one is kept and reported only by check_options, so that a
// conversion error of any later argument wins over it.
struct OptionValues {
  Config cfg;
  std::vector<std::pair<std::string, std::string>> unknown;  // (option, text), in reading order
};

// Python's repr of a float.
inline std::string float_repr(double v) {
  char *text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) throw std::bad_alloc();
  std::string out = text;
  PyMem_Free(text);
  return out;
}

inline bool convert(PyObject *o, bool *out) { return conv_bool(o, out); }
inline bool convert(PyObject *o, uint32_t *out) { return conv_u32(o, out); }
inline bool convert(PyObject *o, uint64_t *out) { return conv_u64(o, out); }
inline bool convert(PyObject *o, double *out) { return conv_f64(o, out); }

// Option strings are read as text and parsed at once; an unknown one is
// kept for check_options.
template <class T>
inline bool read_into(const char *name, PyObject *o, T *field, OptionValues *v) {
  if constexpr (std::is_enum_v<T>) {
    std::string text;
    if (!conv_text(o, &text)) return false;
    if (!parse(text, field)) v->unknown.emplace_back(name, std::move(text));
    return true;
  } else {
    return convert(o, field);
  }
}

using Reader = bool (*)(PyObject *, OptionValues *);
#define QN_OPTION_READER(name, type, value, ...) \
  [](PyObject *o, OptionValues *v) { return read_into(#name, o, &v->cfg.name, v); },
inline const Reader kReaders[kNumOptions] = {QN_SOLVER_OPTIONS(QN_OPTION_READER)};
#undef QN_OPTION_READER

inline std::string python_text(bool v) { return v ? "True" : "False"; }
inline std::string python_text(uint32_t v) { return std::to_string(v); }
inline std::string python_text(uint64_t v) { return std::to_string(v); }
inline std::string python_text(double v) { return float_repr(v); }
template <class E>
inline std::string python_text(E v) {
  return quote_option(spelling(v));
}

#define QN_OPTION_NAME(name, type, value, ...) #name,
inline const char *const kOptionNames[kNumOptions] = {QN_SOLVER_OPTIONS(QN_OPTION_NAME)};
#undef QN_OPTION_NAME

// Converts `o` into option i; false with the conversion's exception set.
inline bool read_option(size_t i, PyObject *o, OptionValues *v) { return kReaders[i](o, v); }

// The validation: the first unknown option string read, then luby_base.
// False with the ValueError set.
inline bool check_options(const OptionValues &v) {
  if (!v.unknown.empty()) {
    raise_value_error("unknown " + v.unknown.front().first + " " + quote_option(v.unknown.front().second));
    return false;
  }
  if (!luby_base_ok(v.cfg.luby_base)) {
    raise_value_error("luby_base must be a positive number, got " + float_repr(v.cfg.luby_base));
    return false;
  }
  return true;
}

// "restart=\"luby\", ccmin=\"deep\", ..., rnd_seed=91648253": every option
// with its default as Python spells it.
inline std::string option_defaults() {
  const Config d;
  std::string out;
#define QN_OPTION_DEFAULT(name, type, value, ...) out += (out.empty() ? "" : ", ") + std::string(#name "=") + python_text(d.name);
  QN_SOLVER_OPTIONS(QN_OPTION_DEFAULT)
#undef QN_OPTION_DEFAULT
  return out;
}

// Reads a dict of options by name into *cfg, then validates them; false
// with TypeError for a name that is no option, or the conversion's or the
// validation's error.
inline bool read_options(PyObject *dict, Config *cfg) {
  OptionValues v;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    const std::string name = utf8_of(key);
    size_t i = 0;
    while (i < kNumOptions && name != kOptionNames[i]) ++i;
    if (i == kNumOptions) {
      PyErr_Format(PyExc_TypeError, "unknown solver option %R", key);
      return false;
    }
    if (!read_option(i, value, &v)) return false;
  }
  if (!check_options(v)) return false;
  *cfg = v.cfg;
  return true;
}

}  // namespace qn::glue
