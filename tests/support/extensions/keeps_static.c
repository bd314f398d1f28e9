// An extension module that keeps an object of its own in a C static from one initialisation to
// the next, as modules that cache a type or a constant do: each initialisation counts itself in
// the object, which a process that starts the interpreter afresh shows.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* initialisations = NULL;  // a list, made once for the process

static int Execute(PyObject* module) {
  if (initialisations == NULL) {
    initialisations = PyList_New(0);
    if (initialisations == NULL) {
      return -1;
    }
  }
  if (PyList_Append(initialisations, Py_None) != 0) {
    return -1;
  }
  return PyModule_AddIntConstant(module, "initialisations", (long)PyList_Size(initialisations));
}

static PyModuleDef_Slot slots[] = {{Py_mod_exec, (void*)Execute},
#ifdef Py_GIL_DISABLED
                                   {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
                                   {0, NULL}};

static struct PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "keeps_static", NULL, 0, NULL, slots};

PyMODINIT_FUNC PyInit_keeps_static(void) { return PyModuleDef_Init(&definition); }
