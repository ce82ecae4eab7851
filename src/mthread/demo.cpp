#include "mthread.hpp"
namespace mthread {
void run_demo(PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "main mode is not built yet");
    throw_error();
}
}  // namespace mthread
