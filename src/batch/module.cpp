// nuvra._batch: the batch engine under nuvra's batch functions. It reads
// whole columns in place and scores them on several threads without the
// interpreter lock; nuvra/batch.py is its Python face.
#include <string_view>

#include "column.hpp"
#include "python.hpp"
#include "semv/vectors.hpp"
#include "sources.hpp"

namespace nuvra::batch {

namespace {

// Below this many rows the lock is kept: releasing it costs more.
constexpr Py_ssize_t cosine_rows_without_lock = 4096;

int double_buffer(PyObject* source, Py_buffer& view, int flags, Py_ssize_t items, const char* what) {
  if (PyObject_GetBuffer(source, &view, flags | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return -1;
  if (view.itemsize == sizeof(double) && view.format && std::string_view(view.format) == "d" &&
      (items < 0 ? view.len % (3 * sizeof(double)) == 0 : view.len == items * Py_ssize_t{sizeof(double)}))
    return 0;
  PyErr_Format(PyExc_ValueError, "cosines() needs %s as a C-contiguous float64 buffer", what);
  PyBuffer_Release(&view);
  return -1;
}

// cosines(vectors, q0, q1, q2, out): out[i] is the cosine of row i of the
// (n, 3) float64 buffer `vectors` with (q0, q1, q2).
PyObject* cosines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "cosines(vectors, q0, q1, q2, out)");
    return nullptr;
  }
  double query[3];
  for (int i = 0; i < 3; ++i)
    if ((query[i] = PyFloat_AsDouble(args[1 + i])) == -1.0 && PyErr_Occurred()) return nullptr;
  Py_buffer vectors, out;
  if (double_buffer(args[0], vectors, PyBUF_SIMPLE, -1, "vectors") < 0) return nullptr;
  const Py_ssize_t n = vectors.len / Py_ssize_t{3 * sizeof(double)};
  if (double_buffer(args[4], out, PyBUF_WRITABLE, n, "out") < 0) {
    PyBuffer_Release(&vectors);
    return nullptr;
  }
  const auto* v = static_cast<const double*>(vectors.buf);
  auto* o = static_cast<double*>(out.buf);
  const auto rows = static_cast<std::size_t>(n);
  if (n < cosine_rows_without_lock) {
    semv::cosine_similarities(v, rows, query, o);
  } else {
    PyThreadState* saved = PyEval_SaveThread();
    semv::cosine_similarities(v, rows, query, o);
    PyEval_RestoreThread(saved);
  }
  PyBuffer_Release(&out);
  PyBuffer_Release(&vectors);
  Py_RETURN_NONE;
}

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t)>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef methods[] = {
    {"sequence_column", fastcall<sequence_column>(), METH_FASTCALL,
     "sequence_column(items, words, name, base, na): a column of a list or tuple of str."},
    {"ucs4_column", fastcall<ucs4_column>(), METH_FASTCALL,
     "ucs4_column(units, words): a column of a numpy str array seen as (n, width) uint32."},
    {"lines_column", fastcall<lines_column>(), METH_FASTCALL,
     "lines_column(data, check, encoding, errors): a column of the lines of a bytes-like object."},
    {"arrow_source", fastcall<arrow_source>(), METH_FASTCALL,
     "arrow_source(exported): an Arrow string column from __arrow_c_array__() or __arrow_c_stream__()."},
    {"cosines", fastcall<cosines>(), METH_FASTCALL,
     "cosines(vectors, q0, q1, q2, out): the cosine of each row of vectors with the query, into out."},
    {nullptr, nullptr, 0, nullptr}};

int add_type(PyObject* module, PyType_Spec* spec, PyTypeObject*& type) {
  if (!type && !(type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec)))) return -1;
  return PyModule_AddObjectRef(module, spec->name + std::string_view("nuvra._batch.").size(),
                               reinterpret_cast<PyObject*>(type));
}

int exec(PyObject* module) {
  if (init_sources() < 0) return -1;
  if (add_type(module, column_spec(), column_type) < 0) return -1;
  return add_type(module, arrow_source_spec(), arrow_source_type);
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec)},
                            {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
                            {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "nuvra._batch",
                          "The batch engine: whole columns scored in place, without the interpreter lock.",
                          0,
                          methods,
                          slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

}  // namespace nuvra::batch

PyMODINIT_FUNC PyInit__batch() {
  return PyModuleDef_Init(&nuvra::batch::module_def);
}
