// Process-wide state: written while the module initialises, read-only after.
#pragma once

#include <cstdint>

#include "exports.hpp"
#include "python.hpp"

namespace nuvra {

// Objects made once and kept for the life of the process.
struct Constants {
  // Interned names.
  PyObject* module_name = nullptr;
  PyObject* math = nullptr;
  PyObject* builtins_key = nullptr;
  PyObject* test_key = nullptr;
  PyObject* file_name = nullptr;  // not interned
  // Shared numbers.
  PyObject* zero = nullptr;
  PyObject* one = nullptr;
  // The interpreter's unbound str.lower and str.strip.
  PyObject* str_lower = nullptr;
  PyObject* str_strip = nullptr;
  PyTypeObject* function_type = nullptr;
  // By the exported function's index_of: its interned name, the interned
  // names of its parameters, and its code-location record.
  PyObject* function_names[function_count] = {};
  PyObject* parameter_names[function_count][max_parameters] = {};
  PyObject* codes[function_count] = {};
};

struct State {
  std::int64_t interpreter = -1;  // the first interpreter that created the module
  PyObject* module = nullptr;     // the module being or having been initialised
  PyObject* ns = nullptr;         // its __dict__
  PyObject* builtins = nullptr;
  Constants constants;
};

extern State state;

// Makes whichever of the strings and numbers do not exist yet.
int make_strings_and_numbers(Constants& c);

}  // namespace nuvra
