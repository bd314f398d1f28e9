# A module that imports numpy, which does not survive a restart of the interpreter: every call is
# followed by a fresh image of the program.
import numpy


def printsomething():
    pass


def PrintMe(value):
    return int(numpy.array([value]).sum())


def DoubleValue(value):
    return value * 2
