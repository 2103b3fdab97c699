// The exported functions: names, parameters, source lines and bodies.
#pragma once

#include "python.hpp"
#include "state.hpp"

namespace nuvra {

// A body receives the bound values in parameter order and the namespace the
// function belongs to; it returns a new reference, or null with an exception.
using Body = PyObject* (*)(PyObject* const* values, PyObject* globals);

struct Parameter {
  PyObject* Constants::* name;  // interned
  const char* text;
  PyTypeObject* type;  // exactly this type, or None
  const char* type_name;
};

inline constexpr Py_ssize_t max_parameters = 2;

struct FunctionDef {
  int index;           // position in the namespace and in Constants::codes
  const char* name;    // in binding messages
  const char* dotted;  // in traceback entries
  int line;            // first source line
  Py_ssize_t parameter_count;
  const char* plural;  // of "argument" in the count message
  Parameter parameters[max_parameters];
  Body body;
};

extern const FunctionDef get_semantic_vector_def;
extern const FunctionDef vectorize_text_def;
extern const FunctionDef cosine_similarity_def;

// In the order the module publishes them.
inline const FunctionDef* const exported_functions[] = {&get_semantic_vector_def, &vectorize_text_def,
                                                        &cosine_similarity_def};

}  // namespace nuvra
