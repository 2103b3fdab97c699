#include "traceback.hpp"

#include <frameobject.h>

namespace nuvra {

void add_traceback(const char* function, int line, PyObject* globals) {
  // Making the code object and frame must not run with the exception pending.
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;  // nothing to add an entry to
  PyFrameObject* frame = nullptr;
  if (PyCodeObject* code = PyCode_NewEmpty("nuvra/semv_core", function, line)) {
    frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    Py_DECREF(code);
  }
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  if (frame) {
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
  }
}

}  // namespace nuvra
