// Traceback entries for failures inside the module.
#pragma once

#include "python.hpp"

namespace nuvra {

// Adds an entry "function" at "line" of nuvra/semv_core to the pending
// exception, with `globals` as the frame's globals. If the entry itself cannot
// be made, the pending exception stays as it was.
void add_traceback(const char* function, int line, PyObject* globals);

}  // namespace nuvra
