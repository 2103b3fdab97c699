#include "bodies.hpp"
#include "exports.hpp"
#include "semv/vectors.hpp"
#include "source_lines.hpp"
#include "state.hpp"
#include "str_units.hpp"
#include "traceback.hpp"

namespace nuvra {

namespace {

PyObject* fail(int line, PyObject* globals) {
  add_traceback(vectorize_text_def.dotted, line, globals);
  return nullptr;
}

int zero_line(semv::TextForm form) {
  switch (form) {
    case semv::TextForm::no_tokens: return lines::text_no_tokens;
    case semv::TextForm::no_match: return lines::text_no_match;
    default: return lines::text_zero_length;
  }
}

}  // namespace

PyObject* vectorize_text_body(PyObject* const* values, PyObject* globals) {
  PyObject* text = values[0];
  if (text == Py_None) {
    PyErr_SetString(PyExc_TypeError, "vectorize_text_c() expected a str for 'text', got None");
    return fail(lines::text_tokenise, globals);
  }
  // The text is tokenised in its own storage: no token objects, no copy.
  const semv::TextVector tv =
      with_units(text, [](auto units) { return semv::text_vector(semv::vocabularies, units); });
  if (tv.form != semv::TextForm::normalised) {
    PyObject* zero = state.constants.zero;
    PyObject* list = shared_list(zero, zero, zero);
    return list ? list : fail(zero_line(tv.form), globals);
  }
  PyObject* list = new_float_list(tv.components);
  return list ? list : fail(lines::text_result, globals);
}

}  // namespace nuvra
