// The least a native function can do under the contract of the module's
// functions: fast-call entry with keywords, an exact-type test of its argument,
// and the same result objects. The benchmark reports each of the module's
// functions as a ratio to one of these.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject* zero;
PyObject* one;

bool one_str(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly 1 positional argument", name);
    return false;
  }
  if (!PyUnicode_CheckExact(args[0])) {
    PyErr_SetString(PyExc_TypeError, "expected str");
    return false;
  }
  return true;
}

// unit(w): a new list of the shared 0.0 and 1.0.
PyObject* unit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!one_str("unit", args, nargs, kwnames)) return nullptr;
  PyObject* list = PyList_New(3);
  if (!list) return nullptr;
  PyList_SET_ITEM(list, 0, Py_NewRef(one));
  PyList_SET_ITEM(list, 1, Py_NewRef(zero));
  PyList_SET_ITEM(list, 2, Py_NewRef(zero));
  return list;
}

// fresh(w): a new list of three new floats.
PyObject* fresh(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!one_str("fresh", args, nargs, kwnames)) return nullptr;
  PyObject* list = PyList_New(3);
  if (!list) return nullptr;
  const double values[3] = {0.25, 0.5, 0.75};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyObject* f = PyFloat_FromDouble(values[i]);
    if (!f) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i, f);
  }
  return list;
}

bool read3(PyObject* list, double (&out)[3]) {
  if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) < 3) {
    PyErr_SetString(PyExc_TypeError, "expected a list of 3 numbers");
    return false;
  }
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    out[i] = PyFloat_CheckExact(item) ? PyFloat_AS_DOUBLE(item) : PyFloat_AsDouble(item);
    if (out[i] == -1.0 && PyErr_Occurred()) return false;
  }
  return true;
}

// cos6(a, b): reads the first three items of two lists and returns one new float.
PyObject* cos6(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 2 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
    PyErr_SetString(PyExc_TypeError, "cos6() takes exactly 2 positional arguments");
    return nullptr;
  }
  double a[3], b[3];
  if (!read3(args[0], a) || !read3(args[1], b)) return nullptr;
  return PyFloat_FromDouble((a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]);
}

PyMethodDef methods[] = {
    {"unit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unit)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"fresh", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fresh)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"cos6", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cos6)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_floor() {
  if (!zero && !((zero = PyFloat_FromDouble(0.0)) && (one = PyFloat_FromDouble(1.0)))) return nullptr;
  return PyModule_Create(&definition);
}
