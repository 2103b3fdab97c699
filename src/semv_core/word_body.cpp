#include "bodies.hpp"
#include "exports.hpp"
#include "ref.hpp"
#include "semv/vectors.hpp"
#include "source_lines.hpp"
#include "state.hpp"
#include "str_units.hpp"
#include "traceback.hpp"

namespace nuvra {

namespace {

PyObject* fail(int line, PyObject* globals) {
  add_traceback(get_semantic_vector_def.dotted, line, globals);
  return nullptr;
}

// The zero vector and the unit vectors share the module's 0.0 and 1.0.
PyObject* shared_result(const semv::WordVector& wv) {
  const Constants& c = state.constants;
  if (wv.form == semv::WordForm::empty) return shared_list(c.zero, c.zero, c.zero);
  PyObject* items[3] = {c.zero, c.zero, c.zero};
  items[semv::index_of(wv.axis)] = c.one;
  return shared_list(items[0], items[1], items[2]);
}

int result_line(const semv::WordVector& wv) {
  switch (wv.form) {
    case semv::WordForm::empty: return lines::word_zero;
    case semv::WordForm::unit: return lines::word_unit[semv::index_of(wv.axis)];
    case semv::WordForm::fallback: break;
  }
  return lines::word_result;
}

PyObject* make_result(const semv::WordVector& wv, PyObject* globals) {
  PyObject* list = wv.form == semv::WordForm::fallback ? new_float_list(wv.components) : shared_result(wv);
  return list ? list : fail(result_line(wv), globals);
}

// The word lower-cased and stripped in its own storage, when the core's table
// covers every code point.
bool lowered_in_place(PyObject* word, semv::WordVector& out) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(word);
  const void* data = PyUnicode_DATA(word);
  switch (PyUnicode_KIND(word)) {
    case PyUnicode_1BYTE_KIND:
      return semv::lowered_word_vector(semv::vocabularies, std::span(static_cast<const Py_UCS1*>(data), n),
                                       out);
    case PyUnicode_2BYTE_KIND:
      return semv::lowered_word_vector(semv::vocabularies, std::span(static_cast<const Py_UCS2*>(data), n),
                                       out);
    default: return false;  // beyond the table: every 4-byte str has a code point above U+FFFF
  }
}

}  // namespace

PyObject* get_semantic_vector_body(PyObject* const* values, PyObject* globals) {
  PyObject* word = values[0];
  semv::WordVector in_place;
  if (word != Py_None && lowered_in_place(word, in_place)) return make_result(in_place, globals);
  const Ref w(lowered_and_stripped(word, state.constants.str_lower, state.constants.str_strip));
  if (!w) return fail(lines::word_normalise, globals);
  const semv::WordVector wv =
      with_units(w.get(), [](auto units) { return semv::word_vector(semv::vocabularies, units); });
  return make_result(wv, globals);
}

}  // namespace nuvra
