#include <new>

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
    case semv::WordForm::fallback: {
      const double components[3] = {wv.components[0], wv.components[1], wv.components[2]};
      list = new_float_list(components);
      break;
    }
  }
  return list ? list : fail(line, globals);
}

}  // namespace

PyObject* semantic_vector(PyObject* word, PyObject* globals) {
  semv::WordVector wv;
  try {
    if (word != Py_None && PyUnicode_IS_ASCII(word)) {
      // str.lower and str.strip() of an ASCII str, done in place.
      const auto* data = static_cast<const unsigned char*>(PyUnicode_DATA(word));
      wv = semv::ascii_word_vector(state.vocabularies, std::span(data, PyUnicode_GET_LENGTH(word)));
    } else {
      const Constants& c = state.constants;
      PyObject* lowered = PyObject_Vectorcall(c.str_lower, &word, 1, nullptr);
      if (!lowered) return fail(lines::word_normalise, globals);
      PyObject* w = PyObject_Vectorcall(c.str_strip, &lowered, 1, nullptr);
      Py_DECREF(lowered);
      if (!w) return fail(lines::word_normalise, globals);
      try {
        wv = with_units(w, [](auto units) { return semv::word_vector(state.vocabularies, units); });
      } catch (...) {
        Py_DECREF(w);
        throw;
      }
      Py_DECREF(w);
    }
  } catch (const std::bad_alloc&) {
    // Only the bigram set of a very long word allocates.
    PyErr_NoMemory();
    return fail(lines::word_bigrams, globals);
  }
  return make_result(wv, globals);
}

PyObject* get_semantic_vector_body(PyObject* const* values, PyObject* globals) {
  PyObject* result = semantic_vector(values[0], globals);
  if (!result) add_traceback(dotted, get_semantic_vector_def.line, globals);
  return result;
}

}  // namespace nuvra
