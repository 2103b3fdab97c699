// nuvra._batch.Grouper: lines grouped into templates, a column at a time.
// The keys of a column's lines are made on several threads without the lock;
// they are then counted in line order, so that the key ids, the counts and
// the first lines do not depend on how the input was cut.
#include "grouper_object.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "column.hpp"
#include "fastcall.hpp"
#include "line_scan.hpp"
#include "memory.hpp"
#include "parallel.hpp"
#include "ref.hpp"
#include "semv/grouping.hpp"
#include "state.hpp"

namespace nuvra::batch {

namespace {

// One thread per this many bytes of lines at least.
constexpr std::size_t units_per_thread = 64 * 1024;

// The grouper, and the keys of the last column, kept so that the strings'
// storage serves the next column too.
// A piece of a buffer of lines, cut at a line's end, with its lines' keys.
struct Piece {
  std::size_t begin = 0, end = 0;
  std::size_t lines = 0;
  std::vector<std::string> keys;
  std::vector<std::uint64_t> hashes;
  std::vector<std::int32_t> found;
};

struct Held {
  explicit Held(std::size_t max_keys) : grouper(max_keys) {}
  semv::Grouper grouper;
  std::vector<std::string> keys;
  std::vector<std::uint64_t> hashes;
  std::vector<std::int32_t> found;
  std::vector<Piece> pieces;
  // Set while a call works without the lock: another thread's call on the
  // same grouper meanwhile is refused, not raced.
  bool busy = false;
};

// Marks the grouper busy for one call; false, with RuntimeError set, when it
// is already (the lock is held when it is made and when it goes).
class Busy {
 public:
  explicit Busy(Held& held) : held_(held), taken_(!held.busy) {
    if (taken_)
      held_.busy = true;
    else
      PyErr_SetString(PyExc_RuntimeError, "this Grouper is in use by another thread");
  }
  ~Busy() {
    if (taken_) held_.busy = false;
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  explicit operator bool() const { return taken_; }

 private:
  Held& held_;
  bool taken_;
};

struct GrouperObject {
  PyObject_HEAD
  Held* held;
};

Held& held_of(PyObject* self) {
  return *reinterpret_cast<GrouperObject*>(self)->held;
}

semv::Grouper& grouper_of(PyObject* self) {
  return held_of(self).grouper;
}

// A code point as UTF-8; lone surrogates as their three bytes, as
// surrogatepass writes them.
void put_utf8(std::uint32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The row's text as bytes: in place where they are bytes already (or ASCII),
// else encoded into `buffer`.
std::string_view bytes_of(const Row& row, bool bytes_in_place, std::string& buffer) {
  if (row.width == 1) {
    const std::string_view bytes(static_cast<const char*>(row.data), row.length);
    if (bytes_in_place || std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0; }))
      return bytes;
  }
  buffer.clear();
  for (std::size_t i = 0; i < row.length; ++i) {
    std::uint32_t c;
    switch (row.width) {
      case 1: c = static_cast<const std::uint8_t*>(row.data)[i]; break;
      case 2: c = static_cast<const std::uint16_t*>(row.data)[i]; break;
      default: c = static_cast<const std::uint32_t*>(row.data)[i]; break;
    }
    put_utf8(c, buffer);
  }
  return buffer;
}

// The message of a line (its header left out, when `header`), without a
// final "\r".
std::string_view message_of(std::string_view line, bool header) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return header ? line.substr(semv::header_length(line)) : line;
}

struct KeyState {
  std::string buffer;
};

// The keys and their hashes of every row of a column; missing rows get an
// empty key and are marked. -1 with the exception set.
// With `known` (which no one changes meanwhile), each row's key is also
// looked up among the keys it holds, into `found` (-1 where it is not held):
// the lookups run on the threads too, and only new keys are left for the
// caller's ordered pass.
int keys_of(const Column& column, bool header, std::size_t workers, std::vector<std::string>& keys,
            std::vector<std::uint64_t>& hashes, const semv::Grouper* known = nullptr,
            std::vector<std::int32_t>* found = nullptr) {
  const std::size_t n = column.rows.size();
  if (allocate_or_raise([&] {
        keys.resize(n);
        hashes.resize(n);
        if (found) found->resize(n);
      }) < 0)
    return -1;
  const std::size_t by_size = 1 + column.total_units / units_per_thread;
  ParallelRun run(n, std::min({workers, by_size, std::max<std::size_t>(n, 1)}));
  const Row* rows = column.rows.data();
  const bool in_place = column.bytes_in_place;
  std::atomic<bool> short_of_memory{false};
  const int result = run.run<KeyState>([&](KeyState& state, std::size_t begin, std::size_t end) {
    try {
      for (std::size_t i = begin; i < end; ++i) {
        if (!rows[i].width) continue;
        semv::line_key(message_of(bytes_of(rows[i], in_place, state.buffer), header), keys[i]);
        hashes[i] = semv::Grouper::hash(keys[i]);
        if (known) (*found)[i] = known->find(keys[i], hashes[i]);
      }
    } catch (const std::bad_alloc&) {
      short_of_memory.store(true, std::memory_order_relaxed);
    }
  });
  if (result < 0) return -1;
  if (short_of_memory.load()) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

// An int32 buffer of n items to write into, or none (None); -1 with the
// exception set.
int int32_out(PyObject* object, std::size_t n, Py_buffer& view, bool& given) {
  given = object != Py_None;
  if (!given) return 0;
  if (PyObject_GetBuffer(object, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return -1;
  const std::string_view format = view.format ? view.format : "";
  if (view.itemsize != 4 || (format != "i" && format != "=i" && format != "l") ||
      static_cast<std::size_t>(view.len) != n * 4) {
    PyBuffer_Release(&view);
    PyErr_SetString(PyExc_ValueError, "needs a writable C-contiguous int32 buffer of len(column) items");
    return -1;
  }
  return 0;
}

const Column* text_column(State& state, PyObject* object) {
  if (!PyObject_TypeCheck(object, state.column_type)) {
    PyErr_Format(PyExc_TypeError, "expected a nuvra._batch.Column, got %.100s", Py_TYPE(object)->tp_name);
    return nullptr;
  }
  const Column* column = column_of(object);
  if (column->kind != Kind::texts) {
    PyErr_SetString(PyExc_ValueError, "needs a column of texts");
    return nullptr;
  }
  return column;
}

bool workers_of(PyObject* object, std::size_t& workers) {
  const Py_ssize_t value = PyLong_AsSsize_t(object);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 1) {
    PyErr_SetString(PyExc_ValueError, "workers must be at least 1");
    return false;
  }
  workers = static_cast<std::size_t>(value);
  return true;
}

// The arguments (column, workers, header) that add() and keys() begin with;
// false with the exception set.
struct ColumnArgs {
  const Column* column = nullptr;
  std::size_t workers = 0;
  bool header = false;
};

bool column_args(PyObject* self, PyObject* const* args, ColumnArgs& out) {
  out.column = text_column(state_of_type(Py_TYPE(self)), args[0]);
  if (!out.column || !workers_of(args[1], out.workers)) return false;
  const int header = PyObject_IsTrue(args[2]);
  out.header = header > 0;
  return header >= 0;
}

// add(column, workers, header, first_index, ids): counts the lines of a text
// column (the first one is line first_index of the input); ids, an int32
// buffer or None, gets each line's key id (-1 for a missing line, or for a
// new key once the grouper is full).
PyObject* grouper_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "add(column, workers, header, first_index, ids)");
    return nullptr;
  }
  ColumnArgs a;
  if (!column_args(self, args, a)) return nullptr;
  const Column* column = a.column;
  const unsigned long long first = PyLong_AsUnsignedLongLong(args[3]);
  if (first == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  Py_buffer ids;
  bool given = false;
  const std::size_t n = column->rows.size();
  if (int32_out(args[4], n, ids, given) < 0) return nullptr;
  Held& held = held_of(self);
  const Busy busy(held);
  if (!busy) {
    if (given) PyBuffer_Release(&ids);
    return nullptr;
  }
  semv::Grouper& grouper = held.grouper;
  PyObject* result = nullptr;
  if (keys_of(*column, a.header, a.workers, held.keys, held.hashes, &grouper, &held.found) == 0) {
    auto* out = given ? static_cast<std::int32_t*>(ids.buf) : nullptr;
    const bool done = allocated([&] {
      for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t id =
            column->rows[i].width ? grouper.add_found(held.found[i], held.keys[i], held.hashes[i], first + i)
                                  : -1;
        if (out) out[i] = id;
      }
    });
    result = done ? Py_NewRef(Py_None) : PyErr_NoMemory();
  }
  if (given) PyBuffer_Release(&ids);
  return result;
}

// Pieces of about this many bytes, a few per thread, are cut from a buffer
// of lines: the threads cut its lines and make their keys at once.
constexpr std::size_t piece_bytes = 256 * 1024;

// add_bytes(data, workers, header, first_index): counts the lines of a buffer
// of bytes (as for_each_line cuts them), the first being line first_index of
// the input; each line's key id as the bytes of int32s. The same counts and
// ids as add() on the buffer's lines_column, without cutting the lines first.
PyObject* grouper_add_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "add_bytes(data, workers, header, first_index)");
    return nullptr;
  }
  std::size_t workers = 0;
  if (!workers_of(args[1], workers)) return nullptr;
  const int header = PyObject_IsTrue(args[2]);
  const unsigned long long first = PyLong_AsUnsignedLongLong(args[3]);
  if (header < 0 || (first == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return nullptr;
  Held& held = held_of(self);
  const Busy busy(held);
  if (!busy) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
  const auto* data = static_cast<const std::uint8_t*>(view.buf);
  const std::size_t size = static_cast<std::size_t>(view.len);
  PyObject* result = nullptr;
  std::vector<Piece>& pieces = held.pieces;
  // Cut at line ends: a piece ends just after a "\n", or at the end.
  const bool cut = allocated([&] {
    const std::size_t wanted = std::max<std::size_t>(1, std::min(size / piece_bytes + 1, workers * 8));
    std::size_t count = 0, begin = 0;
    while (begin < size) {
      std::size_t end = count + 1 >= wanted ? size : std::min(size, begin + size / wanted);
      if (end < size) {
        const void* newline = std::memchr(data + end, '\n', size - end);
        end = newline ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - data) + 1 : size;
      }
      if (count == pieces.size()) pieces.emplace_back();
      pieces[count].begin = begin;
      pieces[count].end = end;
      ++count;
      begin = end;
    }
    pieces.resize(count);
  });
  if (!cut) {
    PyBuffer_Release(&view);
    return PyErr_NoMemory();
  }
  semv::Grouper& grouper = held.grouper;
  std::atomic<bool> short_of_memory{false};
  ParallelRun run(pieces.size(), std::min(workers, std::max<std::size_t>(pieces.size(), 1)));
  const int ran = run.run<KeyState>([&](KeyState&, std::size_t from, std::size_t to) {
    try {
      for (std::size_t p = from; p < to; ++p) {
        Piece& piece = pieces[p];
        piece.lines = 0;
        for_each_line(data + piece.begin, piece.end - piece.begin, [&](std::size_t at, std::size_t length) {
          const std::size_t i = piece.lines++;
          if (piece.keys.size() <= i) {
            piece.keys.emplace_back();
            piece.hashes.emplace_back();
            piece.found.emplace_back();
          }
          const std::string_view line(reinterpret_cast<const char*>(data + piece.begin + at), length);
          semv::line_key(message_of(line, header), piece.keys[i]);
          piece.hashes[i] = semv::Grouper::hash(piece.keys[i]);
          piece.found[i] = grouper.find(piece.keys[i], piece.hashes[i]);
        });
      }
    } catch (const std::bad_alloc&) {
      short_of_memory.store(true, std::memory_order_relaxed);
    }
  });
  if (ran == 0 && short_of_memory.load()) PyErr_NoMemory();
  if (ran == 0 && !short_of_memory.load()) {
    std::size_t total = 0;
    for (const Piece& piece : pieces) total += piece.lines;
    Ref ids(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total * sizeof(std::int32_t))));
    if (ids) {
      auto* out = reinterpret_cast<std::int32_t*>(PyBytes_AS_STRING(ids.get()));
      const bool done = allocated([&] {
        std::size_t line = 0;
        for (const Piece& piece : pieces)
          for (std::size_t i = 0; i < piece.lines; ++i, ++line) {
            out[line] = grouper.add_found(piece.found[i], piece.keys[i], piece.hashes[i], first + line);
          }
      });
      result = done ? ids.release() : PyErr_NoMemory();
    }
  }
  PyBuffer_Release(&view);
  return result;
}

// keys(column, workers, header): the keys of a column's lines, as str (None
// for a missing line).
PyObject* grouper_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "keys(column, workers, header)");
    return nullptr;
  }
  ColumnArgs a;
  if (!column_args(self, args, a)) return nullptr;
  const Column* column = a.column;
  std::vector<std::string> keys;
  std::vector<std::uint64_t> hashes;
  if (keys_of(*column, a.header, a.workers, keys, hashes) < 0) return nullptr;
  Ref list(PyList_New(static_cast<Py_ssize_t>(keys.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    PyObject* item =
        column->rows[i].width
            ? PyUnicode_DecodeUTF8(keys[i].data(), static_cast<Py_ssize_t>(keys[i].size()), "replace")
            : Py_NewRef(Py_None);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* str_of(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// templates(min_values): (texts, counts, firsts, template of each key id).
PyObject* grouper_templates(PyObject* self, PyObject* arg) {
  const Py_ssize_t min_values = PyLong_AsSsize_t(arg);
  if (min_values == -1 && PyErr_Occurred()) return nullptr;
  if (min_values < 2) {
    PyErr_SetString(PyExc_ValueError, "templates() needs min_values >= 2");
    return nullptr;
  }
  semv::Templates t;
  const Busy busy(held_of(self));
  if (!busy) return nullptr;
  const semv::Grouper& grouper = grouper_of(self);
  bool done = false;
  Py_BEGIN_ALLOW_THREADS done =
      allocated([&] { t = grouper.templates(static_cast<std::size_t>(min_values)); });
  Py_END_ALLOW_THREADS if (!done) return PyErr_NoMemory();
  const Py_ssize_t n = static_cast<Py_ssize_t>(t.text.size());
  Ref texts(PyList_New(n)), counts(PyList_New(n)), firsts(PyList_New(n)),
      of_key(PyList_New(static_cast<Py_ssize_t>(t.of_key.size())));
  if (!texts || !counts || !firsts || !of_key) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* text = str_of(t.text[static_cast<std::size_t>(i)]);
    if (!text) return nullptr;
    PyList_SET_ITEM(texts.get(), i, text);
    PyObject* count = PyLong_FromUnsignedLongLong(t.count[static_cast<std::size_t>(i)]);
    if (!count) return nullptr;
    PyList_SET_ITEM(counts.get(), i, count);
    PyObject* first = PyLong_FromUnsignedLongLong(t.first[static_cast<std::size_t>(i)]);
    if (!first) return nullptr;
    PyList_SET_ITEM(firsts.get(), i, first);
  }
  for (std::size_t i = 0; i < t.of_key.size(); ++i) {
    PyObject* id = PyLong_FromLong(t.of_key[i]);
    if (!id) return nullptr;
    PyList_SET_ITEM(of_key.get(), static_cast<Py_ssize_t>(i), id);
  }
  return PyTuple_Pack(4, texts.get(), counts.get(), firsts.get(), of_key.get());
}

// held(): the keys held, by id.
PyObject* grouper_held(PyObject* self, PyObject*) {
  const semv::Grouper& grouper = grouper_of(self);
  Ref list(PyList_New(static_cast<Py_ssize_t>(grouper.key_count())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < grouper.key_count(); ++i) {
    PyObject* key = str_of(grouper.key(i));
    if (!key) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), key);
  }
  return list.release();
}

PyObject* grouper_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Py_ssize_t max_keys = static_cast<Py_ssize_t>(semv::Grouper::default_max_keys);
  static const char* names[] = {"max_keys", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$n:Grouper", const_cast<char**>(names), &max_keys))
    return nullptr;
  if (max_keys < 1 || max_keys > 0x7FFFFFFF) {
    PyErr_SetString(PyExc_ValueError, "Grouper(): max_keys must be in [1, 2**31)");
    return nullptr;
  }
  auto* held = new (std::nothrow) Held(static_cast<std::size_t>(max_keys));
  if (!held) return PyErr_NoMemory();
  auto* self = reinterpret_cast<GrouperObject*>(type->tp_alloc(type, 0));
  if (!self) {
    delete held;
    return nullptr;
  }
  self->held = held;
  return reinterpret_cast<PyObject*>(self);
}

void grouper_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<GrouperObject*>(self)->held;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* grouper_lines(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(grouper_of(self).lines());
}
PyObject* grouper_unkeyed(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(grouper_of(self).unkeyed());
}
PyObject* grouper_key_count(PyObject* self, void*) {
  return PyLong_FromSize_t(grouper_of(self).key_count());
}
PyObject* grouper_nbytes(PyObject* self, void*) {
  return PyLong_FromSize_t(grouper_of(self).memory());
}

PyMethodDef grouper_methods[] = {
    {"add_bytes", fastcall<grouper_add_bytes>(), METH_FASTCALL,
     "add_bytes(data, workers, header, first_index): counts the lines of a buffer of bytes; the bytes of "
     "each "
     "line's key id as int32."},
    {"add", fastcall<grouper_add>(), METH_FASTCALL,
     "add(column, workers, header, first_index, ids): counts the lines of a text column; ids (an int32 "
     "buffer "
     "or None) gets each line's key id."},
    {"keys", fastcall<grouper_keys>(), METH_FASTCALL,
     "keys(column, workers, header): the key of each line of a text column (None for a missing one)."},
    {"held", grouper_held, METH_NOARGS, "held(): the keys held, by id."},
    {"templates", grouper_templates, METH_O,
     "templates(min_values): (texts, counts, firsts, template of each key id)."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef grouper_getset[] = {
    {"lines", grouper_lines, nullptr, "Lines counted.", nullptr},
    {"unkeyed", grouper_unkeyed, nullptr, "Lines counted apart: their key was new once the grouper was full.",
     nullptr},
    {"key_count", grouper_key_count, nullptr, "Distinct keys held.", nullptr},
    {"nbytes", grouper_nbytes, nullptr, "Bytes the grouper holds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot grouper_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(grouper_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(grouper_dealloc)},
    {Py_tp_methods, grouper_methods},
    {Py_tp_getset, grouper_getset},
    {Py_tp_doc,
     const_cast<char*>("Grouper(*, max_keys=262144): lines counted by key, merged into templates.")},
    {0, nullptr}};

PyType_Spec grouper_type_spec = {"nuvra._batch.Grouper", sizeof(GrouperObject), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, grouper_slots};

}  // namespace

PyType_Spec* grouper_spec() {
  return &grouper_type_spec;
}

namespace {

// `where` of a str line (header_length or message_start of its UTF-8), in
// code points.
template <std::size_t (*Where)(std::string_view)>
PyObject* in_code_points(PyObject* const* args, Py_ssize_t nargs, const char* usage) {
  if (nargs != 1 || !PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, usage);
    return nullptr;
  }
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(args[0], &size);
  if (!bytes) {
    // Lone surrogates: no header is recognised in such a line.
    PyErr_Clear();
    return PyLong_FromLong(0);
  }
  const std::size_t end = Where(std::string_view(bytes, static_cast<std::size_t>(size)));
  // Bytes to code points: count the bytes that start a character.
  Py_ssize_t points = 0;
  for (std::size_t i = 0; i < end; ++i) points += (static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80;
  return PyLong_FromSsize_t(points);
}

}  // namespace

PyObject* header_length(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return in_code_points<semv::header_length>(args, nargs, "header_length(line: str)");
}

PyObject* message_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return in_code_points<semv::message_start>(args, nargs, "message_start(line: str)");
}

namespace {

// Where the message of a row starts, in the row's units: after its header,
// or at the header's level where that level is severe (0 for no header, and
// for a line that is all header: "error" alone is a message). A final "\r" is no
// part of the line, as for the keys.
std::size_t header_units(const Row& row, bool in_place, std::string& buffer) {
  const std::string_view bytes = bytes_of(row, in_place, buffer);
  std::string_view line = bytes;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t end = semv::message_start(line);
  if (line.find_first_not_of(" \t\v\f", end) == std::string_view::npos) return 0;
  if (end == 0 || bytes.data() == row.data) return end;  // read in place: a unit per byte
  // Encoded into the buffer: one unit per code point, counted by the bytes
  // that start one.
  std::size_t units = 0;
  for (std::size_t i = 0; i < end; ++i) units += (static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80;
  return units;
}

}  // namespace

// message_column(column, workers): the rows of a text column, each starting
// after the header its line's shape shows (whole where none is recognised, or
// where nothing but blanks follows it).
// The rows are views into the same storage, which the new column keeps alive
// by keeping the given one.
PyObject* message_column(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "message_column(column, workers)");
    return nullptr;
  }
  State& state = state_of(module);
  const Column* column = text_column(state, args[0]);
  std::size_t workers = 0;
  if (!column || !workers_of(args[1], workers)) return nullptr;
  auto messages = std::unique_ptr<Column>(new (std::nothrow) Column(Kind::texts));
  if (!messages) return PyErr_NoMemory();
  messages->bytes_in_place = column->bytes_in_place;
  if (allocate_or_raise([&] { messages->rows = column->rows; }) < 0) return nullptr;
  const std::size_t n = messages->rows.size();
  const std::size_t by_size = 1 + column->total_units / units_per_thread;
  ParallelRun run(n, std::min({workers, by_size, std::max<std::size_t>(n, 1)}));
  Row* rows = messages->rows.data();
  const bool in_place = column->bytes_in_place;
  std::atomic<bool> short_of_memory{false};
  const int result = run.run<KeyState>([&](KeyState& local, std::size_t begin, std::size_t end) {
    try {
      for (std::size_t i = begin; i < end; ++i) {
        Row& row = rows[i];
        if (!row.width) continue;
        const std::size_t skip = header_units(row, in_place, local.buffer);
        row.data = static_cast<const char*>(row.data) + skip * row.width;
        row.length -= skip;
      }
    } catch (const std::bad_alloc&) {
      short_of_memory.store(true, std::memory_order_relaxed);
    }
  });
  if (result < 0) return nullptr;
  if (short_of_memory.load()) return PyErr_NoMemory();
  for (const Row& row : messages->rows) messages->total_units += row.length;
  if (messages->keep(Py_NewRef(args[0])) < 0) return nullptr;
  return column_object(state, messages.release());
}

}  // namespace nuvra::batch
