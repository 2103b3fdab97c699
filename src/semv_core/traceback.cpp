#include "traceback.hpp"

#include <frameobject.h>

#include "ref.hpp"
#include "source_lines.hpp"

namespace nuvra {

namespace {

// A frame at `line` of the module's source, or null.
Ref make_frame(const char* function, int line, PyObject* globals) {
  const Ref code(reinterpret_cast<PyObject*>(PyCode_NewEmpty(lines::source_file, function, line)));
  if (!code) return Ref();
  return Ref(reinterpret_cast<PyObject*>(
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
}

}  // namespace

void add_traceback(const char* function, int line, PyObject* globals) {
  // Making the code object and frame must not run with the exception pending.
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;  // nothing to add an entry to
  const Ref frame = make_frame(function, line, globals);
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace nuvra
