#include "bodies.hpp"
#include "exports.hpp"
#include "semv/vectors.hpp"
#include "source_lines.hpp"
#include "state.hpp"
#include "str_units.hpp"
#include "traceback.hpp"

namespace nuvra {

namespace {

const char* const dotted = "nuvra.semv_core.get_semantic_vector_c";

PyObject* fail(int line, PyObject* globals) {
  add_traceback(dotted, line, globals);
  return nullptr;
}

PyObject* make_result(const semv::WordVector& wv, PyObject* globals) {
  const Constants& c = state.constants;
  PyObject* list = nullptr;
  int line = lines::word_result;
  switch (wv.form) {
    case semv::WordForm::empty:
      line = lines::word_zero;
      list = shared_list(c.zero, c.zero, c.zero);
      break;
    case semv::WordForm::unit:
      switch (wv.axis) {
        case semv::Axis::x:
          line = lines::word_unit_x;
          list = shared_list(c.one, c.zero, c.zero);
          break;
        case semv::Axis::y:
          line = lines::word_unit_y;
          list = shared_list(c.zero, c.one, c.zero);
          break;
        case semv::Axis::z:
          line = lines::word_unit_z;
          list = shared_list(c.zero, c.zero, c.one);
          break;
      }
      break;
    case semv::WordForm::fallback: list = new_float_list(wv.components); break;
  }
  return list ? list : fail(line, globals);
}

// The word lower-cased and stripped in its own storage, when the core's table
// covers every code point.
bool lowered_in_place(PyObject* word, semv::WordVector& out) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(word);
  const void* data = PyUnicode_DATA(word);
  switch (PyUnicode_KIND(word)) {
    case PyUnicode_1BYTE_KIND:
      return semv::lowered_word_vector(state.vocabularies, std::span(static_cast<const Py_UCS1*>(data), n),
                                       out);
    case PyUnicode_2BYTE_KIND:
      return semv::lowered_word_vector(state.vocabularies, std::span(static_cast<const Py_UCS2*>(data), n),
                                       out);
    default: return false;  // beyond the table: every 4-byte str has a code point above U+FFFF
  }
}

}  // namespace

PyObject* semantic_vector(PyObject* word, PyObject* globals) {
  semv::WordVector in_place;
  if (word != Py_None && lowered_in_place(word, in_place)) return make_result(in_place, globals);
  PyObject* w = lowered_and_stripped(word, state.constants.str_lower, state.constants.str_strip);
  if (!w) return fail(lines::word_normalise, globals);
  const semv::WordVector wv =
      with_units(w, [](auto units) { return semv::word_vector(state.vocabularies, units); });
  Py_DECREF(w);
  return make_result(wv, globals);
}

PyObject* get_semantic_vector_body(PyObject* const* values, PyObject* globals) {
  PyObject* result = semantic_vector(values[0], globals);
  if (!result) add_traceback(dotted, get_semantic_vector_def.line, globals);
  return result;
}

}  // namespace nuvra
