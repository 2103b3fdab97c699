#include "bodies.hpp"

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
  PyObject* items[3] = {};
  PyObject* list = nullptr;
  for (int i = 0; i < 3; ++i)
    if (!(items[i] = PyFloat_FromDouble(components[i]))) goto done;
  if ((list = PyList_New(3)))
    for (int i = 0; i < 3; ++i) PyList_SET_ITEM(list, i, items[i]);
done:
  if (!list)
    for (PyObject* item : items) Py_XDECREF(item);
  return list;
}

}  // namespace nuvra
