#include "column.hpp"

#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>

#include "kept.hpp"
#include "memory.hpp"
#include "parallel.hpp"
#include "semv/space.hpp"
#include "semv/text_batch.hpp"
#include "semv/vectors.hpp"
#include "space_object.hpp"
#include "state.hpp"
#include "str_units.hpp"

namespace nuvra::batch {

namespace {

// One thread per this many units of text at least: a thread costs about as
// much to start as scoring 64 KiB of log text.
constexpr std::size_t units_per_thread = 64 * 1024;

struct ColumnObject {
  PyObject_HEAD
  Column* column;
};

template <class Unit>
std::span<const Unit> units_of(const Row& row) {
  return {static_cast<const Unit*>(row.data), row.length};
}

// A word of a space on the fixed table layout: lowered in place where the
// column did not normalise it (see add_word).
void store_word(const semv::Vocabularies& v, const Row& row, double* out) {
  semv::WordVector wv{};
  if (row.normalised) {
    switch (row.width) {
      case 1: wv = semv::word_vector(v, units_of<std::uint8_t>(row)); break;
      case 2: wv = semv::word_vector(v, units_of<std::uint16_t>(row)); break;
      default: wv = semv::word_vector(v, units_of<std::uint32_t>(row)); break;
    }
  } else if (row.width == 1) {
    semv::lowered_word_vector(v, units_of<std::uint8_t>(row), wv);
  } else {
    // add_word made sure that the core lowers this one in place.
    semv::lowered_word_vector(v, units_of<std::uint16_t>(row), wv);
  }
  std::copy(wv.components.begin(), wv.components.end(), out);
}

// What a thread keeps while it scores in a space: a scratch from the space's
// pool (or a new one), bound to the space on first use.
struct SpaceState {
  std::optional<Borrowed<semv::SpaceScratch>> scratch;
  bool bound = false;
};

// The row's vector in the space; false when memory ran short for the scratch
// or for the word.
bool store_in_space(const semv::Space& space, Kept<semv::SpaceScratch>& pool, SpaceState& state,
                    const Row& row, bool words, double* out) {
  if (!row.width) {
    std::fill(out, out + space.axis_count(), std::numeric_limits<double>::quiet_NaN());
    return true;
  }
  if (!state.scratch) state.scratch.emplace(&pool);
  semv::SpaceScratch& scratch = state.scratch->get();
  if (!state.bound && !(state.bound = scratch.bind(space))) return false;
  if (words && space.fixed_tables()) {
    store_word(*space.fixed_tables(), row, out);
    return true;
  }
  switch (row.width) {
    case 1:
      return words ? space.word_vector(units_of<std::uint8_t>(row), out, scratch)
                   : (space.text_vector(units_of<std::uint8_t>(row), out, scratch), true);
    case 2:
      return words ? space.word_vector(units_of<std::uint16_t>(row), out, scratch)
                   : (space.text_vector(units_of<std::uint16_t>(row), out, scratch), true);
    default:
      return words ? space.word_vector(units_of<std::uint32_t>(row), out, scratch)
                   : (space.text_vector(units_of<std::uint32_t>(row), out, scratch), true);
  }
}

// Every row of the column into `out`, n rows of the space's k doubles.
// -1 with MemoryError set when a thread ran short of memory.
int fill_rows_in_space(const Column& column, const semv::Space& space, Kept<semv::SpaceScratch>& pool,
                       double* out, std::size_t workers) {
  const std::size_t n = column.rows.size(), k = space.axis_count();
  const std::size_t by_size = 1 + column.total_units / units_per_thread;
  ParallelRun run(n, std::min({workers, by_size, n}));
  const Row* rows = column.rows.data();
  const bool words = column.kind == Kind::words;
  std::atomic<bool> short_of_memory{false};
  if (run.run<SpaceState>([&](SpaceState& state, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
          if (!store_in_space(space, pool, state, rows[i], words, out + k * i))
            short_of_memory.store(true, std::memory_order_relaxed);
      }) < 0)
    return -1;
  if (short_of_memory.load()) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

// fill(out, workers, space): the vectors of every row in the space into
// `out`, a writable C-contiguous buffer of len(column) * k doubles.
PyObject* column_fill(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "fill() takes 3 arguments: out, workers, space");
    return nullptr;
  }
  Kept<semv::SpaceScratch>* pool = nullptr;
  const semv::Space* space = space_of(state_of_type(Py_TYPE(self)), args[2], &pool);
  if (!space) return nullptr;
  const std::size_t k = space->axis_count();
  const Py_ssize_t workers = PyLong_AsSsize_t(args[1]);
  if (workers == -1 && PyErr_Occurred()) return nullptr;
  if (workers < 1) {
    PyErr_SetString(PyExc_ValueError, "workers must be at least 1");
    return nullptr;
  }
  const Column& column = *column_of(self);
  Py_buffer out;
  if (PyObject_GetBuffer(args[0], &out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0)
    return nullptr;
  int result = 0;
  if (out.itemsize != sizeof(double) || !out.format || std::string_view(out.format) != "d" ||
      out.len != static_cast<Py_ssize_t>(column.rows.size() * k * sizeof(double))) {
    PyErr_SetString(PyExc_ValueError, "fill() needs a C-contiguous float64 buffer of len(column) * k items");
    result = -1;
  } else if (!column.rows.empty()) {
    result = fill_rows_in_space(column, *space, *pool, static_cast<double*>(out.buf),
                                static_cast<std::size_t>(workers));
  }
  PyBuffer_Release(&out);
  if (result < 0) return nullptr;
  Py_RETURN_NONE;
}

Py_ssize_t column_length(PyObject* self) {
  return static_cast<Py_ssize_t>(column_of(self)->rows.size());
}

void column_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete column_of(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef column_methods[] = {
    {"fill", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_fill)), METH_FASTCALL,
     "fill(out, workers, space): the vectors of every row in the space into out, a float64 buffer of "
     "len(column) * k items."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot column_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_tp_methods, column_methods},
    {Py_sq_length, reinterpret_cast<void*>(column_length)},
    {Py_tp_doc,
     const_cast<char*>("Rows of texts or words read in place, scored without the interpreter lock.")},
    {0, nullptr}};

PyType_Spec column_type_spec = {"nuvra._batch.Column", sizeof(ColumnObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, column_slots};

}  // namespace

Column* column_of(PyObject* self) {
  return reinterpret_cast<ColumnObject*>(self)->column;
}

Column::~Column() {
  for (PyObject* owner : kept) Py_DECREF(owner);
  for (Py_buffer& view : views) PyBuffer_Release(&view);
}

int Column::add(const Row& row) {
  if (allocate_or_raise([&] { rows.push_back(row); }) < 0) return -1;
  total_units += row.length;
  return 0;
}

int Column::keep(PyObject* owner) {
  if (allocate_or_raise([&] { kept.push_back(owner); }) == 0) return 0;
  Py_DECREF(owner);
  return -1;
}

int Column::add_str(PyObject* str) {
  Py_INCREF(str);
  if (keep(str) < 0) return -1;
  return add(row_of(str));
}

Row row_of(PyObject* str) {
  return Row{PyUnicode_DATA(str), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)),
             static_cast<std::uint8_t>(PyUnicode_KIND(str)), false};
}

PyType_Spec* column_spec() {
  return &column_type_spec;
}

PyObject* column_object(State& state, Column* column) {
  auto* self = PyObject_New(ColumnObject, state.column_type);
  if (!self) {
    delete column;
    return nullptr;
  }
  self->column = column;
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace nuvra::batch
