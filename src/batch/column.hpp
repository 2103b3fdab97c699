// A column of texts or words read in place: one small record per row, and
// the references and buffers that keep the rows' storage alive until the
// column goes. Columns are built with the interpreter lock held and scored
// without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "python.hpp"

namespace nuvra::batch {

enum class Kind : std::uint8_t { texts, words };

struct Row {
  const void* data = nullptr;  // the units
  std::size_t length = 0;      // in units
  std::uint8_t width = 0;      // bytes per unit: 1, 2 or 4; 0 for a missing value
  bool normalised = false;     // a word already lower-cased and stripped
};

struct Column {
  explicit Column(Kind k) : kind(k) {}
  ~Column();  // with the lock held
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;

  // Adds a row for a str, whose storage `keep` keeps alive. -1 with
  // MemoryError set when memory is short.
  int add_str(PyObject* str);
  int add(const Row& row);
  // Takes over a new reference, or releases it when memory is short.
  int keep(PyObject* owner);

  Kind kind;
  // Rows of width 1 may be encoded bytes read in place (UTF-8, a code page),
  // not code points: right for tokens of A-Z a-z 0-9 _, wrong for anything
  // that reads the letters beyond them (the Turkish fold).
  bool bytes_in_place = false;
  std::vector<Row> rows;
  std::size_t total_units = 0;
  std::vector<PyObject*> kept;
  std::vector<Py_buffer> views;  // released with the column
};

// The row of a str, read in place; the caller keeps the str alive.
Row row_of(PyObject* str);

struct State;

// The column's object, which owns it; null with an exception set, the column
// then deleted.
PyObject* column_object(State& state, Column* column);
// The column of a column object (of the module's column type, which the
// caller checked).
Column* column_of(PyObject* self);
PyType_Spec* column_spec();

// A str as the rows of a word column take it: lowered in place where the
// core can, otherwise normalised by str.lower and str.strip() now. `kept`:
// the caller keeps the str alive as long as the column. -1 with the
// exception set.
int add_word(State& state, Column& column, PyObject* str, bool kept);

}  // namespace nuvra::batch
