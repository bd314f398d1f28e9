// An extension module that keeps an object of its own in a C static from one initialisation to
// the next, as modules that cache a type or a constant do: each initialisation counts itself in
// the object, which a process that starts the interpreter afresh shows. It also tells where the
// loader found the interpreter's functions it calls from its own threads.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <link.h>
#include <stdint.h>

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

// Whether an address lies in the program's own image, the first object the loader lists.
static int InProgram(struct dl_phdr_info* object, size_t size, void* address) {
  (void)size;
  const uintptr_t wanted = (uintptr_t) * (void**)address;
  for (int i = 0; i < object->dlpi_phnum; ++i) {
    const ElfW(Phdr)* segment = &object->dlpi_phdr[i];
    const uintptr_t start = object->dlpi_addr + segment->p_vaddr;
    if (segment->p_type == PT_LOAD && wanted >= start && wanted < start + segment->p_memsz) {
      return 2;
    }
  }
  return 1;  // the program is listed first: no other object is looked at
}

static PyObject* InProgramObject(void* function) {
  return PyBool_FromLong(dl_iterate_phdr(InProgram, &function) == 2);
}

// Whether the PyGILState_Ensure and PyGILState_Release this module calls are the program's.
static PyObject* GilStateFromProgram(PyObject* module, PyObject* unused) {
  (void)module;
  (void)unused;
  return Py_BuildValue("NN", InProgramObject((void*)&PyGILState_Ensure),
                       InProgramObject((void*)&PyGILState_Release));
}

static PyMethodDef methods[] = {{"gil_state_from_program", GilStateFromProgram, METH_NOARGS, NULL},
                                {NULL, NULL, 0, NULL}};

static PyModuleDef_Slot slots[] = {{Py_mod_exec, (void*)Execute},
#ifdef Py_GIL_DISABLED
                                   {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
                                   {0, NULL}};

static struct PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "keeps_static", NULL, 0, methods, slots};

PyMODINIT_FUNC PyInit_keeps_static(void) { return PyModuleDef_Init(&definition); }
