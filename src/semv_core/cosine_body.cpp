#include "bodies.hpp"
#include "exports.hpp"
#include "ref.hpp"
#include "semv/vectors.hpp"
#include "source_lines.hpp"
#include "traceback.hpp"

namespace nuvra {

namespace {

int fail(int line, PyObject* globals) {
  add_traceback(cosine_similarity_def.dotted, line, globals);
  return -1;
}

// Converts items 0, 1 and 2 of `list`, each fetched when its turn comes; a
// failure reading item i is reported at first_line + i.
int read_components(PyObject* list, const char* name, double (&out)[3], int first_line, PyObject* globals) {
  if (list == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return fail(first_line, globals);
  }
  for (Py_ssize_t i = 0; i < 3; ++i) {
    const int line = first_line + static_cast<int>(i);
    // The conversion of an earlier item may have shortened the list.
    if (i >= PyList_GET_SIZE(list)) {
      PyErr_Format(PyExc_IndexError, "cosine_similarity_c() needs 3 items in '%s', it has %zd", name,
                   PyList_GET_SIZE(list));
      return fail(line, globals);
    }
    PyObject* item = PyList_GET_ITEM(list, i);
    if (PyFloat_CheckExact(item)) {
      out[i] = PyFloat_AS_DOUBLE(item);
      continue;
    }
    // The item's __float__ may remove it from the list while it converts.
    const Ref held(Py_NewRef(item));
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) return fail(line, globals);
    out[i] = value;
  }
  return 0;
}

}  // namespace

PyObject* cosine_similarity_body(PyObject* const* values, PyObject* globals) {
  double cv1[3], cv2[3];
  if (read_components(values[0], "v1", cv1, lines::cosine_v1, globals) < 0 ||
      read_components(values[1], "v2", cv2, lines::cosine_v2, globals) < 0)
    return nullptr;
  return PyFloat_FromDouble(semv::c_cosine_similarity(cv1, cv2));
}

}  // namespace nuvra
