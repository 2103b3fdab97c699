#include "function_type.hpp"

#include <cstddef>

#include "binding.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace nuvra {

namespace {

NativeFunction* as_function(PyObject* self) {
  return reinterpret_cast<NativeFunction*>(self);
}

// Whether the arguments are all positional and each exactly of its
// parameter's type: then they bind as they are, borrowed, since the caller
// keeps them alive for the whole call.
bool binds_as_given(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != def.parameter_count() || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) return false;
  for (std::size_t i = 0; i < max_parameters && i < def.parameters.size(); ++i)
    if (Py_TYPE(args[i]) != def.parameters[i].type) return false;
  return true;
}

// The one place where a call that fails gets the function's own traceback
// entry, after the entries of the body's steps.
PyObject* with_entry(PyObject* result, const FunctionDef& def, PyObject* globals) {
  if (!result) add_traceback(def.dotted, def.line, globals);
  return result;
}

// Binds arguments that need more than a look, then calls the body; kept out
// of line so that the common call stays small.
[[gnu::noinline]] PyObject* bind_and_call(const FunctionDef& def, PyObject* globals, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[max_parameters] = {};
  switch (bind_arguments(def, args, nargs, kwnames, values)) {
    case Binding::wrong_type: return nullptr;
    case Binding::failed: return with_entry(nullptr, def, globals);
    case Binding::bound: break;
  }
  PyObject* result = def.body(values, globals);
  for (Py_ssize_t i = 0; i < def.parameter_count(); ++i) Py_DECREF(values[i]);
  return with_entry(result, def, globals);
}

PyObject* call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  NativeFunction* f = as_function(self);
  const FunctionDef& def = *f->def;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (binds_as_given(def, args, nargs, kwnames))
    return with_entry(def.body(args, f->globals), def, f->globals);
  return bind_and_call(def, f->globals, args, nargs, kwnames);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  NativeFunction* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->globals);
  Py_VISIT(f->code);
  Py_VISIT(f->annotations);
  return 0;
}

int clear(PyObject* self) {
  NativeFunction* f = as_function(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->code);
  Py_CLEAR(f->annotations);
  return 0;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// "<function nuvra.semv_core.cosine_similarity_c(v1, v2)>"
PyObject* repr(PyObject* self) {
  const FunctionDef& def = *as_function(self)->def;
  if (def.parameter_count() == 1)
    return PyUnicode_FromFormat("<function %s(%s)>", def.dotted, def.parameters[0].name);
  return PyUnicode_FromFormat("<function %s(%s, %s)>", def.dotted, def.parameters[0].name,
                              def.parameters[1].name);
}

// Functions are looked up again by name when unpickled, so copies are the
// function itself.
PyObject* reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

// As an attribute of a class, the function stays unbound, like a built-in.
PyObject* descr_get(PyObject* self, PyObject*, PyObject*) {
  return Py_NewRef(self);
}

PyObject* none(PyObject*, void*) {
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY, nullptr},
    {"__name__", Py_T_OBJECT_EX, offsetof(NativeFunction, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(NativeFunction, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(NativeFunction, module), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(NativeFunction, globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(NativeFunction, code), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(NativeFunction, annotations), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__doc__", none, nullptr, nullptr, nullptr},        {"__defaults__", none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", none, nullptr, nullptr, nullptr}, {"__closure__", none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_methods, methods},
    {Py_tp_members, members},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "nuvra.semv_core.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

// The type learns where its instances keep their call routine from the
// __vectorcalloffset__ member, which would then read that routine's address
// on every instance: the member goes once the offset is set.
PyTypeObject* make_function_type() {
  Ref type(PyType_FromSpec(&spec));
  if (!type) return nullptr;
  auto* function_type = reinterpret_cast<PyTypeObject*>(type.get());
  const Ref name(PyUnicode_FromString("__vectorcalloffset__"));
  if (!name || PyDict_DelItem(function_type->tp_dict, name.get()) < 0) return nullptr;
  PyType_Modified(function_type);
  type.release();
  return function_type;
}

PyObject* make_code(const FunctionDef& def) {
  const Constants& c = state.constants;
  const std::size_t index = index_of(def);
  const Py_ssize_t count = def.parameter_count();
  const Ref varnames(PyTuple_New(count));
  if (!varnames) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i)
    PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(c.parameter_names[index][i]));
  PyObject* name = c.function_names[index];
  const Ref kwargs(Py_BuildValue("{sn sn sO si sO sO sO}", "co_argcount", count, "co_nlocals", count,
                                 "co_varnames", varnames.get(), "co_flags", CO_OPTIMIZED | CO_NEWLOCALS,
                                 "co_filename", c.file_name, "co_name", name, "co_qualname", name));
  if (!kwargs) return nullptr;
  const Ref empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty(lines::source_file, def.name, def.line)));
  if (!empty) return nullptr;
  const Ref replace(PyObject_GetAttrString(empty.get(), "replace"));
  if (!replace) return nullptr;
  const Ref no_args(PyTuple_New(0));
  if (!no_args) return nullptr;
  return PyObject_Call(replace.get(), no_args.get(), kwargs.get());
}

PyObject* make_function(const FunctionDef& def, PyObject* code, PyObject* globals) {
  const Constants& c = state.constants;
  Ref annotations(PyDict_New());
  if (!annotations) return nullptr;
  NativeFunction* f = PyObject_GC_New(NativeFunction, c.function_type);
  if (!f) return nullptr;
  f->vectorcall = call;
  f->def = &def;
  PyObject* name = c.function_names[index_of(def)];
  f->name = Py_NewRef(name);
  f->qualname = Py_NewRef(name);
  f->module = Py_NewRef(c.module_name);
  f->globals = Py_NewRef(globals);
  f->code = Py_NewRef(code);
  f->annotations = annotations.release();
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject*>(f);
}

}  // namespace nuvra
