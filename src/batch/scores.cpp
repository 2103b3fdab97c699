// cosines(), top() and line_spans() of nuvra._batch.
#include "scores.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "line_scan.hpp"
#include "ranking.hpp"
#include "ref.hpp"
#include "semv/vectors.hpp"

namespace nuvra::batch {

namespace {

// Below this many rows the lock is kept: releasing it costs more.
constexpr Py_ssize_t rows_without_lock = 4096;

// Releases a buffer of the wrong kind, with the error set.
int wrong_buffer(Py_buffer& view, const char* function, const char* what) {
  PyErr_Format(PyExc_ValueError, "%s() needs %s as a C-contiguous float64 buffer", function, what);
  PyBuffer_Release(&view);
  return -1;
}

// A C-contiguous float64 buffer; its length is for the caller to check.
int double_buffer(PyObject* source, Py_buffer& view, int flags, const char* function, const char* what) {
  if (PyObject_GetBuffer(source, &view, flags | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return -1;
  if (view.itemsize == sizeof(double) && view.format && std::string_view(view.format) == "d") return 0;
  return wrong_buffer(view, function, what);
}

// Runs work() with the lock released when `rows` make that worth it.
template <class Work>
void maybe_unlocked(Py_ssize_t rows, Work work) {
  if (rows < rows_without_lock) {
    work();
    return;
  }
  PyThreadState* saved = PyEval_SaveThread();
  work();
  PyEval_RestoreThread(saved);
}

// The ints of a list, which must ascend from 0 or more.
int ascending_rows(PyObject* list, std::vector<std::size_t>& rows) {
  try {
    rows.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    // An int is read without running Python code that could change the list.
    if (!PyLong_Check(item)) {
      PyErr_SetString(PyExc_TypeError, "line_spans() needs rows as ints");
      return -1;
    }
    const Py_ssize_t row = PyLong_AsSsize_t(item);
    if (row == -1 && PyErr_Occurred()) return -1;
    if (row < 0 || (!rows.empty() && static_cast<std::size_t>(row) < rows.back())) {
      PyErr_SetString(PyExc_ValueError, "line_spans() needs rows >= 0 in ascending order");
      return -1;
    }
    rows.push_back(static_cast<std::size_t>(row));
  }
  return 0;
}

}  // namespace

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
  if (double_buffer(args[0], vectors, PyBUF_SIMPLE, "cosines", "vectors") < 0) return nullptr;
  if (vectors.len % (3 * sizeof(double)) != 0) {
    wrong_buffer(vectors, "cosines", "vectors");
    return nullptr;
  }
  const Py_ssize_t n = vectors.len / Py_ssize_t{3 * sizeof(double)};
  if (double_buffer(args[4], out, PyBUF_WRITABLE, "cosines", "out") < 0) {
    PyBuffer_Release(&vectors);
    return nullptr;
  }
  if (out.len != n * Py_ssize_t{sizeof(double)}) {
    wrong_buffer(out, "cosines", "out");
    PyBuffer_Release(&vectors);
    return nullptr;
  }
  const auto* v = static_cast<const double*>(vectors.buf);
  auto* o = static_cast<double*>(out.buf);
  maybe_unlocked(n, [&] { semv::cosine_similarities(v, static_cast<std::size_t>(n), query, o); });
  PyBuffer_Release(&out);
  PyBuffer_Release(&vectors);
  Py_RETURN_NONE;
}

// top(scores, k): ([row, ...], ties), the rows of the k best of a float64
// buffer of scores, best first and the lower row first among equals, NaN
// never ranking; ties counts the rows whose score equals the last one's.
PyObject* top(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyLong_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "top(scores, k: int)");
    return nullptr;
  }
  const Py_ssize_t k = PyLong_AsSsize_t(args[1]);
  if (k < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "top() needs k >= 0");
    return nullptr;
  }
  Py_buffer view;
  if (double_buffer(args[0], view, PyBUF_SIMPLE, "top", "scores") < 0) return nullptr;
  const Py_ssize_t n = view.len / Py_ssize_t{sizeof(double)};
  Top best;
  bool short_of_memory = false;
  maybe_unlocked(n, [&] {
    try {
      best = top_rows(static_cast<const double*>(view.buf), static_cast<std::size_t>(n),
                      static_cast<std::size_t>(k));
    } catch (const std::bad_alloc&) {
      short_of_memory = true;
    }
  });
  PyBuffer_Release(&view);
  if (short_of_memory) return PyErr_NoMemory();
  Ref rows(PyList_New(static_cast<Py_ssize_t>(best.best.size())));
  if (!rows) return nullptr;
  for (std::size_t i = 0; i < best.best.size(); ++i) {
    PyObject* row = PyLong_FromSize_t(best.best[i].row);
    if (!row) return nullptr;
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
  }
  return Py_BuildValue("(Nn)", rows.release(), static_cast<Py_ssize_t>(best.ties));
}

// line_spans(data, rows): (begin, end) of each of the lines numbered `rows`
// (from 0, ascending) in the bytes-like `data`, the "\n" left out.
PyObject* line_spans(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyList_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "line_spans(data, rows: list[int])");
    return nullptr;
  }
  std::vector<std::size_t> rows;
  if (ascending_rows(args[1], rows) < 0) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
  std::vector<LineSpan> spans;
  bool found = false;
  try {
    found = find_lines(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len), rows,
                       spans);
  } catch (const std::bad_alloc&) {
    PyBuffer_Release(&view);
    return PyErr_NoMemory();
  }
  PyBuffer_Release(&view);
  if (!found) {
    PyErr_Format(PyExc_IndexError, "line_spans(): data has no line %zu", rows[spans.size()]);
    return nullptr;
  }
  Ref list(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    PyObject* span =
        Py_BuildValue("(nn)", static_cast<Py_ssize_t>(spans[i].begin), static_cast<Py_ssize_t>(spans[i].end));
    if (!span) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), span);
  }
  return list.release();
}

}  // namespace nuvra::batch
