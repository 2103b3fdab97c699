// Arrow string columns (string, large_string, string_view, and the null type)
// read in place through the Arrow PyCapsule interface: the producer's buffers
// are never copied, and stay alive while the source holds its capsules.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "arrow_abi.hpp"
#include "memory.hpp"
#include "ref.hpp"
#include "sources.hpp"
#include "state.hpp"

namespace nuvra::batch {

namespace {

enum class Layout { null, utf8, large_utf8, utf8_view };

// How often a long loop under the lock runs signal handlers (Ctrl-C).
constexpr std::int64_t signal_check_rows = 1 << 20;

struct ArrowSource {
  ArrowSource() = default;
  ArrowSource(const ArrowSource&) = delete;
  ArrowSource& operator=(const ArrowSource&) = delete;
  // With the lock held. The producer's release callbacks (and the capsules'
  // destructors, which call them) may run Python code, which must not start
  // with an exception set: the one set, if any, is put aside around them and
  // wins over anything they raise.
  ~ArrowSource() {
    PyObject* raised = PyErr_GetRaisedException();
    for (ArrowArray& array : owned)
      if (array.release) array.release(&array);
    if (owned_schema.release) owned_schema.release(&owned_schema);
    Py_XDECREF(capsules);
    if (raised) {
      PyErr_SetRaisedException(raised);
    } else if (PyErr_Occurred()) {
      PyErr_WriteUnraisable(nullptr);  // a release callback raised where nothing can catch it
    }
  }

  Layout layout = Layout::null;
  std::vector<const ArrowArray*> chunks;
  std::vector<std::int64_t> starts{0};  // the first row of each chunk, then the row count
  std::deque<ArrowArray> owned;         // the chunks of a stream, released with the source
  ArrowSchema owned_schema{};           // a stream's schema
  PyObject* capsules = nullptr;         // keep the producer's buffers alive
};

struct ArrowSourceObject {
  PyObject_HEAD
  ArrowSource* source;
};

ArrowSource& source_of(PyObject* self) {
  return *reinterpret_cast<ArrowSourceObject*>(self)->source;
}

int malformed(const char* what) {
  PyErr_Format(PyExc_ValueError, "malformed Arrow array: %s", what);
  return -1;
}

int layout_of(const ArrowSchema& schema, Layout& layout) {
  if (schema.dictionary) {
    PyErr_SetString(PyExc_TypeError,
                    "dictionary-encoded Arrow columns are not supported: decode the dictionary first");
    return -1;
  }
  const std::string_view format = schema.format ? schema.format : "";
  if (format == "u") {
    layout = Layout::utf8;
  } else if (format == "U") {
    layout = Layout::large_utf8;
  } else if (format == "vu") {
    layout = Layout::utf8_view;
  } else if (format == "n") {
    layout = Layout::null;
  } else {
    PyErr_Format(
        PyExc_TypeError,
        "expected an Arrow column of strings (string, large_string or string_view), got Arrow format '%.50s'",
        schema.format ? schema.format : "");
    return -1;
  }
  return 0;
}

// The largest index a chunk may reach: one past its last row (the offsets of
// a string column have one more entry than rows), times the 16 bytes of a
// view, must still be a byte count, so no index arithmetic overflows.
constexpr std::int64_t max_index = std::numeric_limits<std::int64_t>::max() / 16 - 1;

int check_chunk(const ArrowArray& array, Layout layout) {
  if (array.length < 0) return malformed("negative length");
  if (array.offset < 0) return malformed("negative offset");
  if (array.length == 0) return 0;
  // A null column has no buffers: only its row numbers must stay int64.
  const std::int64_t limit = layout == Layout::null ? std::numeric_limits<std::int64_t>::max() : max_index;
  if (array.offset > limit - array.length)
    return malformed("offset + length past the largest array an address space can hold");
  switch (layout) {
    case Layout::null: return 0;
    case Layout::utf8:
    case Layout::large_utf8:
      if (array.n_buffers != 3 || !array.buffers || !array.buffers[1]) return malformed("string buffers");
      return 0;
    case Layout::utf8_view:
      // A view names its data buffer by an int32, so there are at most that many.
      if (array.n_buffers < 3 || array.n_buffers - 3 > std::numeric_limits<std::int32_t>::max() ||
          !array.buffers || !array.buffers[1] || !array.buffers[array.n_buffers - 1])
        return malformed("string_view buffers");
      return 0;
  }
  return 0;
}

int add_chunk(ArrowSource& source, const ArrowArray* array) {
  if (check_chunk(*array, source.layout) < 0) return -1;
  const std::int64_t start = source.starts.back();
  if (array->length > std::numeric_limits<std::int64_t>::max() - start)
    return malformed("the lengths of its chunks add up past the largest int64");
  return allocate_or_raise([&] {
    source.chunks.push_back(array);
    source.starts.push_back(start + array->length);
  });
}

template <class T>
T read_at(const void* buffer, std::int64_t index) {
  T value;
  std::memcpy(&value, static_cast<const std::uint8_t*>(buffer) + index * static_cast<std::int64_t>(sizeof(T)),
              sizeof(T));
  return value;
}

template <class Offset>
int offsets_row(const ArrowArray& array, std::int64_t j, Row& row) {
  const auto begin = read_at<Offset>(array.buffers[1], j), end = read_at<Offset>(array.buffers[1], j + 1);
  if (begin < 0) return malformed("a string offset is negative");
  if (end < begin) return malformed("the string offsets decrease");
  if (end > begin && !array.buffers[2]) return malformed("strings without a data buffer");
  row = Row{static_cast<const std::uint8_t*>(array.buffers[2]) + begin, static_cast<std::size_t>(end - begin),
            1, false};
  return 0;
}

// A view is 16 bytes: the length, then the string itself when it fits in 12
// bytes, else its first 4 bytes, the index of its data buffer and its offset.
int view_row(const ArrowArray& array, std::int64_t j, Row& row) {
  constexpr std::int32_t inline_size = 12;
  const auto* view = static_cast<const std::uint8_t*>(array.buffers[1]) + 16 * j;
  const auto length = read_at<std::int32_t>(view, 0);
  if (length < 0) return malformed("string_view length");
  if (length <= inline_size) {
    row = Row{view + 4, static_cast<std::size_t>(length), 1, false};
    return 0;
  }
  const auto buffer = read_at<std::int32_t>(view + 8, 0), offset = read_at<std::int32_t>(view + 12, 0);
  const std::int64_t data_buffers = array.n_buffers - 3;
  if (buffer < 0 || buffer >= data_buffers || offset < 0 || !array.buffers[2 + buffer] ||
      offset + std::int64_t{length} > read_at<std::int64_t>(array.buffers[array.n_buffers - 1], buffer))
    return malformed("string_view buffer");
  row = Row{static_cast<const std::uint8_t*>(array.buffers[2 + buffer]) + offset,
            static_cast<std::size_t>(length), 1, false};
  return 0;
}

bool is_valid(const ArrowArray& array, std::int64_t j) {
  const auto* bitmap =
      array.n_buffers > 0 && array.buffers ? static_cast<const std::uint8_t*>(array.buffers[0]) : nullptr;
  return !bitmap || (bitmap[j >> 3] >> (j & 7)) & 1;
}

// The row j of the chunk (its offset included); width 0 for a null.
int row_at(const ArrowArray& array, Layout layout, std::int64_t j, Row& row) {
  row = Row{};
  if (layout == Layout::null || !is_valid(array, j)) return 0;
  switch (layout) {
    case Layout::utf8: return offsets_row<std::int32_t>(array, j, row);
    case Layout::large_utf8: return offsets_row<std::int64_t>(array, j, row);
    default: return view_row(array, j, row);
  }
}

bool is_ascii(const Row& row) {
  const auto* bytes = static_cast<const std::uint8_t*>(row.data);
  return std::all_of(bytes, bytes + row.length, [](std::uint8_t b) { return b < 0x80; });
}

// A word that is not ASCII is decoded and normalised by the interpreter.
// A row's UTF-8 as a new str; null with ValueError set for bytes that are
// not UTF-8 (MemoryError stays itself).
PyObject* decoded(const Row& row, std::int64_t index) {
  PyObject* str =
      PyUnicode_DecodeUTF8(static_cast<const char*>(row.data), static_cast<Py_ssize_t>(row.length), "strict");
  if (!str && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
    PyErr_Format(PyExc_ValueError, "item %lld of the Arrow column is not valid UTF-8",
                 static_cast<long long>(index));
  return str;
}

int add_utf8_word(State& state, Column& column, const Row& row, std::int64_t index) {
  if (is_ascii(row)) return column.add(row);
  const Ref str(decoded(row, index));
  return str ? add_word(state, column, str.get(), false) : -1;
}

int import_pair(ArrowSource& source, PyObject* pair) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(pair, 0), "arrow_schema"));
  if (!schema) return -1;
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(pair, 1), "arrow_array"));
  if (!array) return -1;
  if (!schema->release || !array->release) return malformed("already released");
  if (layout_of(*schema, source.layout) < 0) return -1;
  return add_chunk(source, array);
}

int stream_failed(ArrowArrayStream* stream, int code) {
  const char* message = stream->get_last_error ? stream->get_last_error(stream) : nullptr;
  PyErr_Format(PyExc_OSError, "the Arrow stream failed (error %d): %s", code,
               message ? message : "no message");
  return -1;
}

int import_stream(ArrowSource& source, PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (!stream) return -1;
  if (!stream->release) return malformed("already released");
  if (!stream->get_schema || !stream->get_next) return malformed("a stream without its callbacks");
  if (const int code = stream->get_schema(stream, &source.owned_schema)) return stream_failed(stream, code);
  if (layout_of(source.owned_schema, source.layout) < 0) return -1;
  for (;;) {
    ArrowArray next{};
    if (const int code = stream->get_next(stream, &next)) return stream_failed(stream, code);
    if (!next.release) return 0;  // the end of the stream
    if (!allocated([&] { source.owned.push_back(next); })) {
      next.release(&next);
      PyErr_NoMemory();
      return -1;
    }
    if (add_chunk(source, &source.owned.back()) < 0) return -1;
  }
}

// A text row as code points: ASCII bytes are their own code points and stay
// in place; any other row is decoded into a str that the column keeps.
int add_decoded_text(Column& column, const Row& row, std::int64_t index) {
  if (is_ascii(row)) return column.add(row);
  const Ref str(decoded(row, index));
  return str ? column.add_str(str.get()) : -1;
}

// column(start, stop, words[, decoded]): a column of rows [start, stop). With
// decoded, texts that are not ASCII are decoded into code points, for what
// reads letters beyond A-Z (the Turkish fold); otherwise they stay UTF-8
// bytes read in place.
PyObject* source_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3 && nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "column(start, stop, words[, decoded])");
    return nullptr;
  }
  const ArrowSource& source = source_of(self);
  State& state = state_of_type(Py_TYPE(self));
  const Py_ssize_t start = PyLong_AsSsize_t(args[0]), stop = PyLong_AsSsize_t(args[1]);
  if (PyErr_Occurred()) return nullptr;
  const int words = PyObject_IsTrue(args[2]);
  if (words < 0) return nullptr;
  const int decoded = nargs == 4 ? PyObject_IsTrue(args[3]) : 0;
  if (decoded < 0) return nullptr;
  if (start < 0 || stop < start || stop > source.starts.back()) {
    PyErr_SetString(PyExc_IndexError, "column(): rows out of range");
    return nullptr;
  }
  auto column = std::unique_ptr<Column>(new (std::nothrow) Column(words ? Kind::words : Kind::texts));
  if (!column) return PyErr_NoMemory();
  column->bytes_in_place = !decoded;  // UTF-8
  Py_INCREF(self);
  if (column->keep(self) < 0) return nullptr;
  if (allocate_or_raise([&] { column->rows.reserve(static_cast<std::size_t>(stop - start)); }) < 0)
    return nullptr;
  auto chunk = static_cast<std::size_t>(std::upper_bound(source.starts.begin(), source.starts.end(), start) -
                                        source.starts.begin() - 1);
  for (std::int64_t r = start; r < stop; ++r) {
    if ((r - start) % signal_check_rows == signal_check_rows - 1 && PyErr_CheckSignals() < 0) return nullptr;
    while (r >= source.starts[chunk + 1]) ++chunk;
    const ArrowArray& array = *source.chunks[chunk];
    Row row;
    if (row_at(array, source.layout, array.offset + (r - source.starts[chunk]), row) < 0) return nullptr;
    int result;
    if (!row.width)
      result = column->add(row);
    else if (words)
      result = add_utf8_word(state, *column, row, r);
    else
      result = decoded ? add_decoded_text(*column, row, r) : column->add(row);
    if (result < 0) return nullptr;
  }
  return column_object(state, column.release());
}

Py_ssize_t source_length(PyObject* self) {
  return static_cast<Py_ssize_t>(source_of(self).starts.back());
}

void source_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ArrowSourceObject*>(self)->source;
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef source_methods[] = {
    {"column", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(source_column)), METH_FASTCALL,
     "column(start, stop, words[, decoded]): the rows [start, stop) as a column; decoded: texts as code "
     "points."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot source_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(source_dealloc)},
                              {Py_tp_methods, source_methods},
                              {Py_sq_length, reinterpret_cast<void*>(source_length)},
                              {Py_tp_doc, const_cast<char*>("An Arrow string column, imported in place.")},
                              {0, nullptr}};

PyType_Spec source_spec = {"nuvra._batch.ArrowSource", sizeof(ArrowSourceObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, source_slots};

}  // namespace

PyType_Spec* arrow_source_spec() {
  return &source_spec;
}

// arrow_source(exported): the result of __arrow_c_array__() (a pair of
// capsules) or of __arrow_c_stream__() (one capsule).
PyObject* arrow_source(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) {
    PyErr_SetString(PyExc_TypeError, "arrow_source(exported)");
    return nullptr;
  }
  PyObject* exported = args[0];
  std::unique_ptr<ArrowSource> source;
  if (allocate_or_raise([&] { source = std::make_unique<ArrowSource>(); }) < 0) return nullptr;
  int result;
  if (PyTuple_Check(exported) && PyTuple_GET_SIZE(exported) == 2) {
    result = import_pair(*source, exported);
  } else if (PyCapsule_CheckExact(exported)) {
    result = import_stream(*source, exported);
  } else {
    PyErr_SetString(PyExc_TypeError, "arrow_source() takes a pair of capsules or a stream capsule");
    result = -1;
  }
  if (result < 0) return nullptr;
  Py_INCREF(exported);
  source->capsules = exported;
  auto* self = PyObject_New(ArrowSourceObject, state_of(module).arrow_source_type);
  if (!self) return nullptr;
  self->source = source.release();
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace nuvra::batch
