// cosines(), top(), count_above() and line_spans() of nuvra._batch.
#include "scores.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "line_scan.hpp"
#include "memory.hpp"
#include "ranking.hpp"
#include "ref.hpp"
#include "semv/space.hpp"
#include "semv/vectors.hpp"

namespace nuvra::batch {

namespace {

// How often a long loop under the lock runs signal handlers (Ctrl-C).
constexpr Py_ssize_t signal_check_rows = 1 << 20;

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
  if (allocate_or_raise([&] { rows.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list))); }) < 0)
    return -1;
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
    rows.push_back(static_cast<std::size_t>(row));  // within the capacity reserved
  }
  return 0;
}

}  // namespace

// cosines(vectors, query, out): out[i] is the cosine of row i of the (n, k)
// float64 buffer `vectors` with the k doubles of `query`.
PyObject* cosines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "cosines(vectors, query, out)");
    return nullptr;
  }
  Py_buffer views[3];
  const int flags[3] = {PyBUF_SIMPLE, PyBUF_SIMPLE, PyBUF_WRITABLE};
  const char* what[3] = {"vectors", "query", "out"};
  int taken = 0;
  for (; taken < 3; ++taken)
    if (double_buffer(args[taken], views[taken], flags[taken], "cosines", what[taken]) < 0) break;
  PyObject* result = nullptr;
  if (taken == 3) {
    const std::size_t k = static_cast<std::size_t>(views[1].len) / sizeof(double);
    const std::size_t n = static_cast<std::size_t>(views[2].len) / sizeof(double);
    if (k == 0 || static_cast<std::size_t>(views[0].len) != n * k * sizeof(double)) {
      PyErr_SetString(PyExc_ValueError, "cosines() needs vectors of shape (n, k), a query of k and out of n");
    } else {
      const auto* rows = static_cast<const double*>(views[0].buf);
      const auto* query = static_cast<const double*>(views[1].buf);
      auto* out = static_cast<double*>(views[2].buf);
      maybe_unlocked(static_cast<Py_ssize_t>(n), [&] { semv::cosine_similarities(rows, n, query, k, out); });
      result = Py_NewRef(Py_None);
    }
  }
  for (int i = 0; i < taken; ++i) PyBuffer_Release(&views[i]);
  return result;
}

// float_rows(rows, out, k, name): the rows of k numbers of a tuple into out,
// a C-contiguous float64 buffer of len(rows) * k items. Each number is read as
// cosine_similarity_c reads the items of its lists: a float, or an instance
// of a subclass, by the value it holds; anything else by PyFloat_AsDouble
// (__float__, then __index__).
PyObject* float_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4 || !PyTuple_Check(args[0]) || !PyUnicode_Check(args[3])) {
    PyErr_SetString(PyExc_TypeError, "float_rows(rows: tuple, out, k: int, name: str)");
    return nullptr;
  }
  PyObject* rows = args[0];
  const Py_ssize_t k = PyLong_AsSsize_t(args[2]);
  if (k == -1 && PyErr_Occurred()) return nullptr;
  PyObject* name = args[3];
  const Py_ssize_t n = PyTuple_GET_SIZE(rows);
  if (k < 1 || (n > 0 && k > PY_SSIZE_T_MAX / n / Py_ssize_t{sizeof(double)})) {
    PyErr_SetString(PyExc_ValueError, "float_rows() needs k >= 1");
    return nullptr;
  }
  Py_buffer out;
  if (double_buffer(args[1], out, PyBUF_WRITABLE, "float_rows", "out") < 0) return nullptr;
  if (out.len != n * k * Py_ssize_t{sizeof(double)}) {
    wrong_buffer(out, "float_rows", "out of len(rows) * k items");
    return nullptr;
  }
  auto* o = static_cast<double*>(out.buf);
  int result = 0;
  for (Py_ssize_t i = 0; i < n && result == 0; ++i) {
    if (i % signal_check_rows == signal_check_rows - 1 && PyErr_CheckSignals() < 0) {
      result = -1;
      break;
    }
    PyObject* row = PyTuple_GET_ITEM(rows, i);
    // A tuple of its own: the numbers' __float__ cannot change it.
    const Ref items(PySequence_Tuple(row));
    if (!items) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError,
                     "%U() expected vectors of shape (n, %zd): row %zd is %.200s, not a sequence", name, k, i,
                     Py_TYPE(row)->tp_name);
      }
      result = -1;
      break;
    }
    if (PyTuple_GET_SIZE(items.get()) != k) {
      PyErr_Format(PyExc_ValueError, "%U() expected vectors of shape (n, %zd): row %zd has %zd items", name,
                   k, i, PyTuple_GET_SIZE(items.get()));
      result = -1;
      break;
    }
    for (Py_ssize_t j = 0; j < k; ++j) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), j);
      const double value = PyFloat_Check(item) ? PyFloat_AS_DOUBLE(item) : PyFloat_AsDouble(item);
      if (value == -1.0 && PyErr_Occurred()) {
        result = -1;
        break;
      }
      o[k * i + j] = value;
    }
  }
  PyBuffer_Release(&out);
  if (result < 0) return nullptr;
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
  // A k past the largest Py_ssize_t asks for every row, as any k >= n does.
  int overflow = 0;
  const long long asked = PyLong_AsLongLongAndOverflow(args[1], &overflow);
  if (asked == -1 && PyErr_Occurred()) return nullptr;
  if (overflow < 0 || (overflow == 0 && asked < 0)) {
    PyErr_SetString(PyExc_ValueError, "top() needs k >= 0");
    return nullptr;
  }
  const Py_ssize_t k =
      overflow > 0 || asked > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(asked);
  Py_buffer view;
  if (double_buffer(args[0], view, PyBUF_SIMPLE, "top", "scores") < 0) return nullptr;
  const Py_ssize_t n = view.len / Py_ssize_t{sizeof(double)};
  Top best;
  bool short_of_memory = false;
  maybe_unlocked(n, [&] {
    short_of_memory = !allocated([&] {
      best = top_rows(static_cast<const double*>(view.buf), static_cast<std::size_t>(n),
                      static_cast<std::size_t>(k));
    });
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

// count_above(scores, floor): how many of a float64 buffer of scores are
// above floor (NaN never is).
PyObject* count_above(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyFloat_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "count_above(scores, floor: float)");
    return nullptr;
  }
  const double floor = PyFloat_AS_DOUBLE(args[1]);
  Py_buffer view;
  if (double_buffer(args[0], view, PyBUF_SIMPLE, "count_above", "scores") < 0) return nullptr;
  const Py_ssize_t n = view.len / Py_ssize_t{sizeof(double)};
  const double* scores = static_cast<const double*>(view.buf);
  Py_ssize_t count = 0;
  maybe_unlocked(n, [&] {
    for (Py_ssize_t i = 0; i < n; ++i) count += scores[i] > floor ? 1 : 0;
  });
  PyBuffer_Release(&view);
  return PyLong_FromSsize_t(count);
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
  const bool short_of_memory = !allocated([&] {
    found = find_lines(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len), rows,
                       spans);
  });
  PyBuffer_Release(&view);
  if (short_of_memory) return PyErr_NoMemory();
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
