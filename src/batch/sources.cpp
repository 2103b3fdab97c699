// Columns from Python sequences, numpy str arrays and blocks of lines.
#include "sources.hpp"

#include <array>
#include <cmath>
#include <memory>
#include <new>
#include <span>
#include <string_view>

#include "line_scan.hpp"
#include "memory.hpp"
#include "ref.hpp"
#include "semv/vectors.hpp"
#include "state.hpp"
#include "str_units.hpp"

namespace nuvra::batch {

namespace {

// How often a long loop under the lock runs signal handlers (Ctrl-C).
constexpr Py_ssize_t signal_check_items = 1 << 20;

bool is_missing(PyObject* item, PyObject* na) {
  return item == Py_None || item == na || (PyFloat_Check(item) && std::isnan(PyFloat_AS_DOUBLE(item)));
}

int wrong_item(const char* name, Py_ssize_t index, PyObject* item) {
  PyErr_Format(PyExc_TypeError,
               "%s(): item %zd is %.200s, not a str or a missing value (None, NaN, pandas.NA)", name, index,
               Py_TYPE(item)->tp_name);
  return -1;
}

bool lowers_in_place(PyObject* str) {
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: return true;
    case PyUnicode_2BYTE_KIND:
      return semv::lowers_in_place(
          std::span(static_cast<const Py_UCS2*>(PyUnicode_DATA(str)), PyUnicode_GET_LENGTH(str)));
    default: return false;
  }
}

// The buffer, kept by the column until it goes.
Py_buffer* keep_buffer(Column& column, PyObject* source, int flags) {
  if (allocate_or_raise([&] { column.views.emplace_back(); }) < 0) return nullptr;
  Py_buffer* view = &column.views.back();
  if (PyObject_GetBuffer(source, view, flags) < 0) {
    column.views.pop_back();
    return nullptr;
  }
  return view;
}

// What a line's bytes need before they can be read as they are.
struct LineCheck {
  enum class Mode { none, utf8, table } mode = Mode::none;
  std::array<bool, 256> marked{};

  bool needs_decoding(const std::uint8_t* s, std::size_t n) const {
    switch (mode) {
      case Mode::none: return false;
      case Mode::utf8: return !valid_utf8(s, n);
      case Mode::table: return has_marked_byte(marked, s, n);
    }
    return false;
  }
};

int line_check_of(PyObject* spec, LineCheck& check) {
  if (spec == Py_None) return 0;
  if (PyUnicode_Check(spec) && PyUnicode_CompareWithASCIIString(spec, "utf-8") == 0) {
    check.mode = LineCheck::Mode::utf8;
    return 0;
  }
  if (PyBytes_Check(spec) && PyBytes_GET_SIZE(spec) == 256) {
    check.mode = LineCheck::Mode::table;
    const char* bytes = PyBytes_AS_STRING(spec);
    for (std::size_t b = 0; b < 256; ++b) check.marked[b] = bytes[b] != 0;
    return 0;
  }
  PyErr_SetString(PyExc_TypeError, "check must be None, 'utf-8' or a table of 256 bytes");
  return -1;
}

// The rows of every line, and the lines whose bytes must be decoded by the
// codec, found with the lock released.
struct LineScan {
  std::vector<Row> rows;
  std::vector<std::size_t> to_decode;
  bool out_of_memory = false;
};

void scan_lines(const std::uint8_t* data, std::size_t size, const LineCheck& check, LineScan& scan) {
  // No UTF-8 sequence holds a "\n", so the block is valid exactly when each of
  // its lines is: one pass over the block spares most blocks the check by line.
  const bool by_line = check.mode != LineCheck::Mode::utf8 || !valid_utf8(data, size);
  scan.out_of_memory = !allocated([&] {
    scan.rows.reserve(size / 64 + 1);
    for_each_line(data, size, [&](std::size_t begin, std::size_t length) {
      if (by_line && check.needs_decoding(data + begin, length)) scan.to_decode.push_back(scan.rows.size());
      scan.rows.push_back(Row{data + begin, length, 1, false});
    });
  });
}

// The codec's error, told with the line it is in (counted from 1).
// If that fails, the new error replaces the codec's.
void with_line_number(std::size_t index) {
  Ref exc(PyErr_GetRaisedException());
  const Ref note(PyUnicode_FromFormat("in line %zu of the input", index + 1));
  if (!note) return;
  const Ref result(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
  if (result) PyErr_SetRaisedException(exc.release());
}

// The lines that the codec must decode, replaced by the str it gives. A last
// line with no "\n" after it that decodes to nothing is no line: the text
// ends with the "\n" before it.
int decode_lines(Column& column, const LineScan& scan, bool unterminated, const char* encoding,
                 const char* errors) {
  for (std::size_t index : scan.to_decode) {
    Row& row = column.rows[index];
    Ref str(PyUnicode_Decode(static_cast<const char*>(row.data), static_cast<Py_ssize_t>(row.length),
                             encoding, errors));
    if (!str) {
      if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) with_line_number(index);
      return -1;
    }
    const Row decoded = row_of(str.get());
    if (unterminated && index + 1 == column.rows.size() && decoded.length == 0) {
      column.total_units -= row.length;
      column.rows.pop_back();
      return 0;
    }
    if (column.keep(str.release()) < 0) return -1;
    column.total_units += decoded.length - row.length;
    row = decoded;
  }
  return 0;
}

bool parse_kind(PyObject* words, Kind& kind) {
  const int truth = PyObject_IsTrue(words);
  if (truth < 0) return false;
  kind = truth ? Kind::words : Kind::texts;
  return true;
}

}  // namespace

int add_word(State& state, Column& column, PyObject* str, bool kept) {
  if (lowers_in_place(str)) return kept ? column.add(row_of(str)) : column.add_str(str);
  const Ref word(lowered_and_stripped(str, state.str_lower, state.str_strip));
  if (!word || column.add_str(word.get()) < 0) return -1;
  column.rows.back().normalised = true;
  return 0;
}

// sequence_column(items, words, name, base, na): items is a list or tuple of
// str or missing values; `base` is the index of its first item in the
// caller's input, for messages.
PyObject* sequence_column(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5 || !(PyList_Check(args[0]) || PyTuple_Check(args[0])) || !PyUnicode_Check(args[2])) {
    PyErr_SetString(PyExc_TypeError, "sequence_column(items: list | tuple, words, name: str, base: int, na)");
    return nullptr;
  }
  Kind kind;
  if (!parse_kind(args[1], kind)) return nullptr;
  const char* name = PyUnicode_AsUTF8(args[2]);
  const Py_ssize_t base = PyLong_AsSsize_t(args[3]);
  if (!name || (base == -1 && PyErr_Occurred())) return nullptr;
  PyObject* na = args[4];
  State& state = state_of(module);
  auto column = std::unique_ptr<Column>(new (std::nothrow) Column(kind));
  if (!column) return PyErr_NoMemory();
  // The items, in a tuple the column keeps: nothing can change it, and the
  // one reference keeps every item's storage alive.
  PyObject* items = PyTuple_Check(args[0]) ? Py_NewRef(args[0]) : PyList_AsTuple(args[0]);
  if (!items || column->keep(items) < 0) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(items);
  if (allocate_or_raise([&] { column->rows.reserve(static_cast<std::size_t>(n)); }) < 0) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i % signal_check_items == signal_check_items - 1 && PyErr_CheckSignals() < 0) return nullptr;
    PyObject* item = PyTuple_GET_ITEM(items, i);
    if (PyUnicode_Check(item)) {
      if ((kind == Kind::words ? add_word(state, *column, item, true) : column->add(row_of(item))) < 0)
        return nullptr;
    } else if (is_missing(item, na)) {
      if (column->add(Row{}) < 0) return nullptr;
    } else {
      wrong_item(name, base + i, item);
      return nullptr;
    }
  }
  return column_object(state_of(module), column.release());
}

// ucs4_column(units, words): units is a C-contiguous (n, width) buffer of
// uint32, a numpy str array seen as its code points; trailing NULs pad the
// items, as numpy stores them.
PyObject* ucs4_column(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "ucs4_column(units, words)");
    return nullptr;
  }
  Kind kind;
  if (!parse_kind(args[1], kind)) return nullptr;
  auto column = std::unique_ptr<Column>(new (std::nothrow) Column(kind));
  if (!column) return PyErr_NoMemory();
  Py_buffer* view = keep_buffer(*column, args[0], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
  if (!view) return nullptr;
  if (view->ndim != 2 || view->itemsize != 4 || !view->format ||
      (std::string_view(view->format) != "I" && std::string_view(view->format) != "=I")) {
    PyErr_SetString(PyExc_ValueError, "ucs4_column() needs a C-contiguous (n, width) buffer of uint32");
    return nullptr;
  }
  const auto n = static_cast<std::size_t>(view->shape[0]), width = static_cast<std::size_t>(view->shape[1]);
  const auto* units = static_cast<const Py_UCS4*>(view->buf);
  for (std::size_t i = 0; i < n; ++i) {
    const Py_UCS4* item = units + i * width;
    std::size_t length = width;
    while (length > 0 && item[length - 1] == 0) --length;
    if (kind == Kind::texts) {
      if (column->add(Row{item, length, 4, false}) < 0) return nullptr;
      continue;
    }
    // Words are lowered by the interpreter's rules, so they become str first.
    const Ref str(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, item, static_cast<Py_ssize_t>(length)));
    if (!str || add_word(state_of(module), *column, str.get(), false) < 0) return nullptr;
  }
  return column_object(state_of(module), column.release());
}

// lines_column(data, check, encoding, errors): a text column of the lines of
// a bytes-like object, read in place. Lines whose bytes `check` finds in need
// of it ('utf-8': not valid UTF-8; a table: holding a marked byte) are
// decoded by the codec with `errors`, the others read as their bytes.
PyObject* lines_column(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4 || !PyUnicode_Check(args[2]) || !PyUnicode_Check(args[3])) {
    PyErr_SetString(PyExc_TypeError, "lines_column(data, check, encoding: str, errors: str)");
    return nullptr;
  }
  LineCheck check;
  if (line_check_of(args[1], check) < 0) return nullptr;
  const char* encoding = PyUnicode_AsUTF8(args[2]);
  const char* errors = PyUnicode_AsUTF8(args[3]);
  if (!encoding || !errors) return nullptr;
  auto column = std::unique_ptr<Column>(new (std::nothrow) Column(Kind::texts));
  if (!column) return PyErr_NoMemory();
  Py_buffer* view = keep_buffer(*column, args[0], PyBUF_C_CONTIGUOUS);
  if (!view) return nullptr;
  LineScan scan;
  // Taking the lock back ends this thread when the interpreter is finalising
  // meanwhile (a daemon thread), and the unwinding runs the destructors of
  // this frame without the lock: nothing that releases a Python object may
  // be owned here across it. The column is left to leak in that case.
  Column* unlocked = column.release();
  PyThreadState* saved = PyEval_SaveThread();
  scan_lines(static_cast<const std::uint8_t*>(view->buf), static_cast<std::size_t>(view->len), check, scan);
  PyEval_RestoreThread(saved);
  column.reset(unlocked);
  if (scan.out_of_memory) return PyErr_NoMemory();
  column->rows = std::move(scan.rows);
  column->bytes_in_place = true;
  column->total_units = static_cast<std::size_t>(view->len);
  const bool unterminated = view->len > 0 && static_cast<const char*>(view->buf)[view->len - 1] != '\n';
  if (decode_lines(*column, scan, unterminated, encoding, errors) < 0) return nullptr;
  return column_object(state_of(module), column.release());
}

}  // namespace nuvra::batch
