#include "binding.hpp"

#include "state.hpp"

namespace nuvra {

namespace {

void release(PyObject** values, Py_ssize_t count) {
  for (Py_ssize_t i = 0; i < count; ++i) Py_CLEAR(values[i]);
}

void raise_count(const FunctionDef& def, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name,
               "exactly", def.parameter_count(), def.plural(), given);
}

PyObject* parameter_name(const FunctionDef& def, Py_ssize_t i) {
  return state.constants.parameter_names[index_of(def)][i];
}

// Index of the first parameter in [begin, end) named `key`, -1 for none, -2
// when a comparison failed. Identity with the interned names comes first.
Py_ssize_t find_parameter(const FunctionDef& def, PyObject* key, Py_ssize_t begin, Py_ssize_t end) {
  for (Py_ssize_t i = begin; i < end; ++i)
    if (parameter_name(def, i) == key) return i;
  const bool exact = PyUnicode_CheckExact(key);
  for (Py_ssize_t i = begin; i < end; ++i) {
    PyObject* name = parameter_name(def, i);
    int equal;
    if (exact)
      equal = PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) && PyUnicode_Compare(name, key) == 0;
    else if ((equal = PyObject_RichCompareBool(key, name, Py_EQ)) < 0)
      return -2;
    if (equal) return i;
  }
  return -1;
}

// Steps with keywords: each keyword in turn, then the first empty parameter.
int bind_keywords(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** values) {
  const Py_ssize_t count = def.parameter_count();
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
      return -1;
    }
    Py_ssize_t i = find_parameter(def, key, nargs, count);
    if (i == -2) return -1;
    if (i >= 0) {
      Py_XSETREF(values[i], Py_NewRef(args[nargs + j]));
      continue;
    }
    i = find_parameter(def, key, 0, nargs);
    if (i == -2) return -1;
    if (i >= 0)
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, key);
    else
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
    return -1;
  }
  for (Py_ssize_t i = nargs; i < count; ++i)
    if (!values[i]) {
      raise_count(def, i);
      return -1;
    }
  return 0;
}

}  // namespace

Binding bind_arguments(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** values) {
  const Py_ssize_t count = def.parameter_count();
  const bool keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
  if (keywords ? nargs > count : nargs != count) {
    raise_count(def, nargs);
    return Binding::failed;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = Py_NewRef(args[i]);
  if (keywords && bind_keywords(def, args, nargs, kwnames, values) < 0) {
    release(values, count);
    return Binding::failed;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Parameter& p = def.parameters[i];
    PyObject* value = values[i];
    if (value != Py_None && Py_TYPE(value) != p.type) {
      PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   p.name, p.type_name, Py_TYPE(value)->tp_name);
      release(values, count);
      return Binding::wrong_type;
    }
  }
  return Binding::bound;
}

}  // namespace nuvra
