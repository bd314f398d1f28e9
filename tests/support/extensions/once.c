// An extension module that refuses a second initialisation in one process, as modules built with
// PyO3 do ("may only be initialized once per interpreter process").
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static int initialised = 0;

static int Execute(PyObject* module) {
  if (initialised) {
    PyErr_SetString(PyExc_ImportError, "once may only be initialized once per interpreter process");
    return -1;
  }
  initialised = 1;
  return PyModule_AddStringConstant(module, "greeting", "hello once");
}

static PyModuleDef_Slot slots[] = {{Py_mod_exec, (void*)Execute},
#ifdef Py_GIL_DISABLED
                                   {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
                                   {0, NULL}};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "once", NULL, 0, NULL, slots};

PyMODINIT_FUNC PyInit_once(void) { return PyModuleDef_Init(&definition); }
