#include "bridge/script_bridge.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "bridge/call_leftovers.h"
#include "bridge/fresh_image.h"
#include "bridge/interpreter.h"
#include "bridge/run_facts.h"

// Set by the build: where the shipped PythonCode module lies relative to the program's folder.
#ifndef SCRIPT_MENU_MODULE_DIR_FROM_BIN
#error "SCRIPT_MENU_MODULE_DIR_FROM_BIN must give the module's folder relative to the program's"
#endif

namespace {

// The name under which both operations import the script module. Fixed.
constexpr char kScriptModuleName[] = "PythonCode";

// What CallScriptIntFunction gives when the script gives no int.
constexpr int kNoResult = -1;

// The folder of the shipped module, beside the program's own folder; empty if we cannot tell
// where the program lives. Asked before the first import, so no script can have moved the
// working folder that a relative path would be taken from.
std::string ShippedModuleFolder() {
  const std::filesystem::path program = ProgramFile();
  if (program.empty()) {
    return "";
  }
  return (program.parent_path() / SCRIPT_MENU_MODULE_DIR_FROM_BIN).lexically_normal().string();
}

// Puts the shipped module's folder at the end of the module search path: PYTHONPATH and the
// interpreter's own path come first and win. The working folder is never on the path of an
// embedded interpreter, so a stray PythonCode.py there is never run.
void AppendShippedModuleFolder() {
  static const std::string folder = ShippedModuleFolder();  // the program does not move
  if (folder.empty()) {
    return;  // only the interpreter's own path is searched
  }

  PyObject* search_path = PySys_GetObject("path");              // borrowed
  PyObject* entry = PyUnicode_DecodeFSDefault(folder.c_str());  // new
  if (search_path == nullptr || entry == nullptr || PyList_Append(search_path, entry) != 0) {
    if (PyErr_Occurred() != nullptr) {
      PyErr_Print();  // the shipped module will not be found, and the import will say so too
    }
  }
  Py_XDECREF(entry);
}

// The interpreter's int conversion; -1 with an error pending when the object is no int in range.
int ConvertToInt(PyObject* object) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyLong_AsInt(object);
#else
  return _PyLong_AsInt(object);
#endif
}

// Each operation takes the function name by value: that string is the operation's own copy, its
// c_str() the NUL-terminated buffer that the interpreter's look-up gets, and it lives until the
// operation returns, after the shut-down. A script that forks (os.fork) leaves two processes in
// the call: the dialogue is the menu process's, and the child ends once its call has ended.

// The import, the look-up and the call of RunScriptProcedure, in its interpreter; true if one of
// them failed.
bool ImportAndCallProcedure(const std::string& name, pid_t menu_process) {
  AppendShippedModuleFolder();
  bool failed = true;
  PyObject* module = PyImport_ImportModule(kScriptModuleName);  // new; runs the top-level code
  if (module == nullptr) {
    PyErr_Print();  // the failed import, in the interpreter's usual form
  } else {
    PyObject* function = PyObject_GetAttrString(module, name.c_str());  // new
    if (function == nullptr) {
      PyErr_Print();  // no such attribute: say so, rather than leave the user with no menu
    } else {
      // Not checked for being callable. What it raises is dropped unprinted, SystemExit included;
      // the shut-down would print it otherwise. A child the script forked ends with the status of
      // its SystemExit all the same, as under python3.
      PyObject* result = PyObject_CallObject(function, nullptr);  // new; ignored
      failed = result == nullptr;
      if (failed && getpid() != menu_process && PyErr_ExceptionMatches(PyExc_SystemExit) != 0) {
        PyErr_Print();
      }
      if (failed) {
        PyErr_Clear();
      }
      Py_XDECREF(result);
      Py_DECREF(function);
    }
    Py_DECREF(module);
  }
  return failed;
}

// The import, the look-up and the call of CallScriptIntFunction, in its interpreter, with the
// result converted to `converted`; true if the import, a look-up or the call failed.
bool ImportAndCallIntFunction(const std::string& name, int value, int& converted) {
  AppendShippedModuleFolder();
  PyObject* module_name = PyUnicode_FromString(kScriptModuleName);  // new
  PyObject* module = nullptr;                                       // new, once imported
  if (module_name != nullptr) {
    module = PyImport_Import(module_name);  // runs the top-level code
  }
  PyObject* function = nullptr;         // the one to call; borrowed from one of these two:
  PyObject* module_function = nullptr;  // new: an attribute of what the import gave instead
  if (module != nullptr && PyModule_CheckExact(module)) {
    PyObject* dictionary = PyModule_GetDict(module);            // borrowed
    function = PyDict_GetItemString(dictionary, name.c_str());  // borrowed; none there: no error
  } else if (module != nullptr) {
    // A module may put another object in its place in sys.modules, which is what the import
    // gives then, or make itself an instance of a module subclass, whose methods and __getattr__
    // give attributes its dictionary lacks: either is asked as python3 would ask it. What is
    // missing there counts as missing from a module's dictionary.
    module_function = PyObject_GetAttrString(module, name.c_str());
    if (module_function == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError) != 0) {
      PyErr_Clear();
    }
    function = module_function;
  }

  // The import, a look-up that raised (other than for a missing name), or the call.
  bool failed = module == nullptr || PyErr_Occurred() != nullptr;
  PyObject* arguments = nullptr;  // new, once built
  PyObject* result = nullptr;     // new, once the call has returned
  if (function != nullptr && PyCallable_Check(function)) {
    arguments = Py_BuildValue("(i)", value);
    if (arguments == nullptr) {
      PyErr_Print();  // no memory for the argument: the call is skipped
    } else {
      result = PyObject_CallObject(function, arguments);
      failed = result == nullptr;
      if (failed) {
        PyErr_Print();  // the function's exception and traceback; a SystemExit ends the program
      }
    }
  } else if (PyErr_Occurred() != nullptr) {
    // A failed import is reported here. A missing or uncallable name has nothing pending, so
    // nothing is printed for it.
    PyErr_Print();
  }

  Py_XDECREF(arguments);
  Py_XDECREF(module_function);
  Py_XDECREF(module);
  Py_XDECREF(module_name);

  if (result != nullptr) {
    converted = ConvertToInt(result);
    if (converted == -1 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();  // None, or an int out of range: -1, and nothing printed, now or at shut-down
    }
    Py_DECREF(result);
  }
  return failed;
}

}  // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the copy is the point
void RunScriptProcedure(std::string name) {
  const pid_t menu_process = getpid();
  RunInFreshInterpreter([&] { return ImportAndCallProcedure(name, menu_process); });
}  // the name's copy is freed here, after the shut-down

// NOLINTNEXTLINE(performance-unnecessary-value-param): the copy is the point
int CallScriptIntFunction(std::string name, int value) {
  int converted = kNoResult;
  RunInFreshInterpreter([&] { return ImportAndCallIntFunction(name, value, converted); });
  return converted;
}  // the name's copy is freed here, after the shut-down

void GoOnInFreshImageIfNeeded(const std::vector<std::string>& carried) {
  if (FreshImageNeeded()) {
    StartFreshImage(carried);
  }
}
