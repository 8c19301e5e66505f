// Traceback entries for compiled functions: an empty code object carrying the
// function's name, file and line, wrapped in a frame and pushed on the traceback.
#include "runtime/traceback.hpp"

#include <frameobject.h>

#include "runtime/ref.hpp"

namespace tavo::runtime {

void add_traceback(const char *funcname, const char *filename, int line) noexcept {
  // The entry is built while the exception is set aside: creating objects must
  // not see (or clobber) the pending error.
  PyObject *exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  Ref code = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(filename, funcname, line)));
  Ref globals = Ref::steal(PyDict_New());
  Ref frame;
  if (code && globals) {
    frame = Ref::steal(reinterpret_cast<PyObject *>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()), globals.get(), nullptr)));
  }
  PyErr_Clear(); // a failure to build the entry is not reported over the real error
  PyErr_SetRaisedException(exc);
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

} // namespace tavo::runtime
