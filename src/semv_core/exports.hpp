// The exported functions, one entry each: the single source of their names,
// parameters, first source lines and bodies.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "bodies.hpp"
#include "python.hpp"
#include "source_lines.hpp"

namespace nuvra {

// A body receives the bound values in parameter order and the namespace the
// function belongs to; it returns a new reference, or null with an exception
// and the traceback entries of its own steps. The function's own entry is
// added by the call (function_type.cpp).
using Body = PyObject* (*)(PyObject* const* values, PyObject* globals);

struct Parameter {
  const char* name;
  PyTypeObject* type;  // the argument must be exactly this type, or None
  const char* type_name;
};

inline constexpr std::size_t max_parameters = 2;

struct FunctionDef {
  const char* name;    // in binding messages
  const char* dotted;  // in traceback entries and the repr
  int line;            // first source line
  std::span<const Parameter> parameters;
  Body body;

  constexpr Py_ssize_t parameter_count() const { return static_cast<Py_ssize_t>(parameters.size()); }
  // Of "argument" in the count message.
  constexpr const char* plural() const { return parameters.size() == 1 ? "" : "s"; }
};

inline constexpr Parameter word_parameters[] = {
    {.name = "word", .type = &PyUnicode_Type, .type_name = "str"}};
inline constexpr Parameter text_parameters[] = {
    {.name = "text", .type = &PyUnicode_Type, .type_name = "str"}};
inline constexpr Parameter cosine_parameters[] = {{.name = "v1", .type = &PyList_Type, .type_name = "list"},
                                                  {.name = "v2", .type = &PyList_Type, .type_name = "list"}};

inline constexpr FunctionDef get_semantic_vector_def{
    .name = "get_semantic_vector_c",
    .dotted = "nuvra.semv_core.get_semantic_vector_c",
    .line = lines::word_function,
    .parameters = word_parameters,
    .body = get_semantic_vector_body,
};

inline constexpr FunctionDef vectorize_text_def{
    .name = "vectorize_text_c",
    .dotted = "nuvra.semv_core.vectorize_text_c",
    .line = lines::text_function,
    .parameters = text_parameters,
    .body = vectorize_text_body,
};

inline constexpr FunctionDef cosine_similarity_def{
    .name = "cosine_similarity_c",
    .dotted = "nuvra.semv_core.cosine_similarity_c",
    .line = lines::cosine_function,
    .parameters = cosine_parameters,
    .body = cosine_similarity_body,
};

// In the order the module publishes them.
inline constexpr const FunctionDef* exported_functions[] = {&get_semantic_vector_def, &vectorize_text_def,
                                                            &cosine_similarity_def};
inline constexpr std::size_t function_count = std::size(exported_functions);

constexpr bool dotted_names_are_module_and_name() {
  const std::string_view module = lines::module_name;
  for (const FunctionDef* def : exported_functions) {
    const std::string_view dotted = def->dotted;
    if (!dotted.starts_with(module) || dotted[module.size()] != '.' ||
        dotted.substr(module.size() + 1) != def->name)
      return false;
    if (def->parameters.size() > max_parameters) return false;
  }
  return true;
}
static_assert(dotted_names_are_module_and_name());

// The entry's position in exported_functions, which indexes the per-function
// constants of the module's state.
constexpr std::size_t index_of(const FunctionDef& def) {
  std::size_t i = 0;
  while (exported_functions[i] != &def) ++i;
  return i;
}

}  // namespace nuvra
