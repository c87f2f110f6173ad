// Modules: multi-phase initialisation whose exec slot runs a list of parts,
// classes made from their specs, and module state kept as xxlimited keeps
// it (PyModule_GetState; traverse, clear and free visit what it holds).
#pragma once

#include "pyglue/ref.hpp"

#include <cstddef>
#include <initializer_list>
#include <type_traits>

// A macro's value as a string literal, for doc strings.
#define QN_STR(x) QN_STR_TEXT(x)
#define QN_STR_TEXT(x) #x

namespace qn::glue {

// One step of a module's exec slot: 0, or -1 with an exception set.
using Part = int (*)(PyObject *module);

// Runs the parts in order, stopping at the first failure.
inline int run_parts(PyObject *module, std::initializer_list<Part> parts) {
  for (Part part : parts)
    if (part(module) < 0) return -1;
  return 0;
}

// Adds the class of `spec` to `module` as `name`, making it first unless
// *holder has it already: a process-wide holder makes it once for every
// module (bound to none), a module state's makes it per module, bound to it.
inline int add_type(PyObject *module, const char *name, PyType_Spec *spec, PyObject **holder, bool bind = true) {
  if (*holder == nullptr) {
    *holder = PyType_FromModuleAndSpec(bind ? module : nullptr, spec, nullptr);
    if (*holder == nullptr) return -1;
  }
  return PyModule_AddObjectRef(module, name, *holder);
}

// A module attribute: its name and the maker of its value (a new reference,
// or nullptr with an error set).
struct Value {
  const char *name;
  PyObject *(*make)();
};

template <size_t N>
int add_values(PyObject *module, const Value (&values)[N]) {
  for (const Value &v : values) {
    Ref made(v.make());
    if (!made || PyModule_AddObjectRef(module, v.name, made.get()) < 0) return -1;
  }
  return 0;
}

// A module state that holds N objects (its classes).
template <size_t N>
struct Held {
  PyObject *objects[N];
};

template <class State>
State &state(PyObject *module) {
  return *static_cast<State *>(PyModule_GetState(module));
}

template <class State>
int state_traverse(PyObject *module, visitproc visit, void *arg) {
  for (PyObject *o : state<State>(module).objects) Py_VISIT(o);
  return 0;
}

template <class State>
int state_clear(PyObject *module) {
  for (PyObject *&o : state<State>(module).objects) Py_CLEAR(o);
  return 0;
}

template <class State>
void state_free(void *module) {
  state_clear<State>(static_cast<PyObject *>(module));
}

// The definition of a module with one exec slot; with a State, the module
// keeps one (zeroed when made).
template <class State = void>
PyModuleDef module_def(const char *name, const char *doc, PyModuleDef_Slot *slots) {
  PyModuleDef def = {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
  if constexpr (!std::is_void_v<State>) {
    def.m_size = sizeof(State);
    def.m_traverse = state_traverse<State>;
    def.m_clear = state_clear<State>;
    def.m_free = state_free<State>;
  }
  return def;
}

}  // namespace qn::glue
