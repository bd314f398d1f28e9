"""The suite's probe: a PythonCode module that shows each call it gets, and reports the release of
its module object, of its three functions and of every result they return.

In a sound call, each of the four is released exactly once, at the shut-down, after the module
has left sys.modules (the module's release is reported only where the interpreter frees a module as
its last reference goes). One released while the module is still imported was released once too
often, and one never reported was never released at all. Results are released before the
shut-down, once their value has been taken.
"""
import sys
import weakref


def _report_release(what):
    early = sys.modules.get(__name__) is not None
    print(what, "released while imported" if early else "released")


class _Result(int):
    def __del__(self):
        print("result", int(self), "released")


class _Function:
    """A callable that reports its own release, as a plain function cannot."""

    def __init__(self, name, body):
        self._name = name
        self._body = body

    def __call__(self, *args):
        return self._body(*args)

    def __del__(self):
        _report_release(self._name)


def _menu():
    print("menu")
    return _Result(0)


def _print_me(value):
    print("PrintMe({!r})".format(value))
    return _Result(value)


def _double_value(value):
    print("DoubleValue({!r})".format(value))
    return _Result(value * 2)


printsomething = _Function("printsomething", _menu)
PrintMe = _Function("PrintMe", _print_me)
DoubleValue = _Function("DoubleValue", _double_value)
NotCallable = 42
# The module stays a plain one, looked up as such; a weak reference tells of its release. A
# free-threaded build frees a module object only when its garbage is collected, late in the
# shut-down (it defers the counting of the object's references), after weak references' callbacks
# are called: its release is not reported there.
if "t" not in sys.abiflags:
    _module_watch = weakref.ref(sys.modules[__name__], lambda _: _report_release("module"))
