#include "bodies.hpp"
#include "ref.hpp"

namespace nuvra {

PyObject* shared_list(PyObject* x, PyObject* y, PyObject* z) {
  PyObject* list = PyList_New(3);
  if (!list) return nullptr;
  PyList_SET_ITEM(list, 0, Py_NewRef(x));
  PyList_SET_ITEM(list, 1, Py_NewRef(y));
  PyList_SET_ITEM(list, 2, Py_NewRef(z));
  return list;
}

PyObject* new_float_list(const std::array<double, 3>& components) {
  Ref x(PyFloat_FromDouble(components[0]));
  if (!x) return nullptr;
  Ref y(PyFloat_FromDouble(components[1]));
  if (!y) return nullptr;
  Ref z(PyFloat_FromDouble(components[2]));
  if (!z) return nullptr;
  PyObject* list = PyList_New(3);
  if (!list) return nullptr;
  PyList_SET_ITEM(list, 0, x.release());
  PyList_SET_ITEM(list, 1, y.release());
  PyList_SET_ITEM(list, 2, z.release());
  return list;
}

}  // namespace nuvra
