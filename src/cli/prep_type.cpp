// Prep(nvars, proof=False, binary=False): the preprocessor of `solve
// --preprocess` for runs of several solvers (auto, --portfolio).  Clauses
// come from feed(block, limit, tail), add_clause or add_formula; run(rounds) simplifies
// them with its proof streamed to the descriptor given by attach_proof;
// reduced() is what the solvers search, as a Formula; reconstruct(model)
// extends a model of it to the input's variables.
#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/formula_type.hpp"
#include "cli/module.hpp"
#include "cli/proof_file.hpp"
#include "cli/py_glue.hpp"
#include "cli/stop.hpp"
#include "preprocess/preprocessor.hpp"

namespace qn::cli {
namespace {

struct Prep {
  prep::Preprocessor pre{prep::kDefaultBve, prep::kDefaultMaxResolventLen, false};
  std::unique_ptr<ProofFile> proof;
  std::vector<int64_t> codes;
  std::vector<Lit> read;  // a clause as read
  std::vector<Lit> lits;  // as handed to the preprocessor
};

struct PrepObject : NativeObject {
  Prep *p;
};

Prep &core(PyObject *o) { return *reinterpret_cast<PrepObject *>(o)->p; }

PyObject *prep_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  uint32_t nvars = 0;
  int proof = 0, binary = 0;
  static const char *kw[] = {"nvars", "proof", "binary", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "I|pp:Prep", const_cast<char **>(kw), &nvars, &proof, &binary)) {
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject *self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<PrepObject *>(self)->p = nullptr;
  PyObject *r = boundary([&]() -> PyObject * {
    Prep *made = make_sized<Prep>(nvars, [nvars, proof, binary, stop = stop_flag()] {
      auto p = std::make_unique<Prep>();
      if (proof) {
        p->proof = std::make_unique<ProofFile>(-1, binary != 0);
        p->pre.stream_proof(p->proof.get());
      }
      p->pre.set_stop(stop);
      p->pre.grow(nvars);
      return p.release();
    });
    reinterpret_cast<PrepObject *>(self)->p = made;
    return made == nullptr ? nullptr : self;
  });
  if (r == nullptr) Py_DECREF(self);
  return r;
}

void prep_dealloc(PyObject *self) {
  delete reinterpret_cast<PrepObject *>(self)->p;
  dealloc(self);
}

bool add(Prep &p, const Lit *lits, size_t n) {
  p.lits.assign(lits, lits + n);
  Var bad = 0;
  if (p.pre.add_clause(p.lits, &bad) != prep::AddOutcome::Eliminated) return true;
  PyErr_SetString(PyExc_ValueError, "a clause names an eliminated variable");
  return false;
}

PyObject *prep_feed(PyObject *self, PyObject *args) {
  Prep &p = core(self);
  return feed_block(args, p.codes, p.read, [&](const Lit *l, size_t n) { return add(p, l, n); });
}

PyObject *prep_add_clause(PyObject *self, PyObject *clause) {
  Prep &p = core(self);
  if (!lits_of(clause, p.read) || !add(p, p.read.data(), p.read.size())) return nullptr;
  Py_RETURN_NONE;
}

PyObject *prep_add_formula(PyObject *self, PyObject *formula) {
  Prep &p = core(self);
  return add_formula_clauses(formula, [&](const Lit *lits, size_t n) { return add(p, lits, n); });
}

ProofFile *proof_of(PyObject *self) {
  ProofFile *f = core(self).proof.get();
  if (f == nullptr) PyErr_SetString(PyExc_RuntimeError, "this preprocessor keeps no proof");
  return f;
}

PyObject *prep_attach_proof(PyObject *self, PyObject *fd) {
  ProofFile *f = proof_of(self);
  return f == nullptr ? nullptr : attach_proof(f, fd);
}

PyObject *prep_flush(PyObject *self, PyObject *) {
  ProofFile *f = proof_of(self);
  return f == nullptr ? nullptr : proof_done(f, false);
}
PyObject *prep_finish_proof(PyObject *self, PyObject *) {
  ProofFile *f = proof_of(self);
  return f == nullptr ? nullptr : proof_done(f, true);
}

PyObject *prep_run(PyObject *self, PyObject *args) {
  unsigned int rounds = prep::kDefaultRounds;
  if (!PyArg_ParseTuple(args, "I:run", &rounds)) return nullptr;
  return PyBool_FromLong(core(self).pre.run(rounds));
}

PyObject *prep_stats(PyObject *self, PyObject *) {
  const prep::Preprocessor &p = core(self).pre;
  return prep_stats_dict(p);
}

// reduced() -> Formula: the live clauses in slot order, over nvars variables.
PyObject *prep_reduced(PyObject *self, PyObject *) {
  const prep::Preprocessor &p = core(self).pre;
  Owned f(PyObject_CallFunction(formula_type, "I", p.nvars()));
  if (f.p == nullptr) return nullptr;
  Formula &out = *as_formula(f.p)->f;
  for (prep::ClauseId i = 0; i < p.num_slots(); ++i) {
    if (p.is_live(i)) out.add(p.clause(i), p.clause_len(i));
  }
  return f.release();
}

// reconstruct(model) -> bytes: a model of the reduced formula (bytes, one
// 0/1 byte per variable) extended to a model of the input.
PyObject *prep_reconstruct(PyObject *self, PyObject *arg) {
  char *data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(arg, &data, &size) < 0) return nullptr;
  std::vector<bool> model(data, data + size), out;
  const prep::ReconstructError err = core(self).pre.reconstruct(model, &out);
  if (err.kind != prep::ReconstructError::Kind::None) {
    PyErr_Format(PyExc_ValueError, "reconstruction failed for x%u", static_cast<unsigned>(err.var));
    return nullptr;
  }
  std::string bytes(out.size(), '\0');
  for (size_t i = 0; i < out.size(); ++i) bytes[i] = out[i] ? 1 : 0;
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyMethodDef prep_methods[] = {
    {"feed", method<prep_feed>, METH_VARARGS,
     "feed(block, limit, tail)\n--\n\nAdd the clauses of a block of DIMACS numbers; (clauses, maxvar, tail) or None."},
    {"add_clause", method<prep_add_clause>, METH_O, "add_clause(lits)\n--\n\nAdd one clause of internal literals."},
    {"add_formula", method<prep_add_formula>, METH_O, "add_formula(formula)\n--\n\nAdd every clause of a Formula."},
    {"attach_proof", method<prep_attach_proof>, METH_O,
     "attach_proof(fd)\n--\n\nWrite the proof to descriptor fd (duplicated) from now on."},
    {"flush", method<prep_flush>, METH_NOARGS, "flush()\n--\n\nWrite the buffered proof steps."},
    {"finish_proof", method<prep_finish_proof>, METH_NOARGS, "finish_proof()\n--\n\nFlush and close the proof."},
    {"run", method<prep_run>, METH_VARARGS, "run(rounds)\n--\n\nSimplify; False: refuted."},
    {"stats", method<prep_stats>, METH_NOARGS, "stats()\n--\n\nThe preprocessor's counters."},
    {"reduced", method<prep_reduced>, METH_NOARGS, "reduced()\n--\n\nThe simplified formula, as a Formula."},
    {"reconstruct", method<prep_reconstruct>, METH_O,
     "reconstruct(model)\n--\n\nA model of the input (bytes) from one of the simplified formula (bytes)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot prep_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(make<prep_new>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(prep_dealloc)},
    {Py_tp_methods, prep_methods},
    {Py_tp_doc, const_cast<char *>("Prep(nvars, proof=False, binary=False)\n--\n\n"
                                   "The preprocessor, its proof streamed to a file.")},
    {0, nullptr},
};

PyType_Spec prep_spec = {"quillon_native_cli._scan.Prep", sizeof(PrepObject), 0, Py_TPFLAGS_DEFAULT, prep_slots};

}  // namespace

int add_prep_type(PyObject *module) {
  static PyObject *prep_type = nullptr;
  return add_type(module, &prep_spec, "Prep", &prep_type);
}

}  // namespace qn::cli
