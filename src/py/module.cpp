// Entry point of the _ostrel_engine extension module.
#include <Python.h>

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ostrel_engine",
    "Compiled core of the ostrel gate engine: every gate evaluation runs natively here.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__ostrel_engine() {
  PyObject* m = PyModule_Create(&module_def);
  if (m == nullptr) return nullptr;
  PyObject* all = PyList_New(0);
  if (all == nullptr || PyModule_AddObject(m, "__all__", all) < 0) {
    Py_XDECREF(all);
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
