"""The module that script-menu calls.

Every call starts a fresh interpreter and imports this module again, so top-level code runs
on every call and module-level variables never keep a value from one call to the next.
The program writes nothing of what these functions return: they write what the user sees.
"""


def printsomething():
    """Writes the menu; script-menu calls it at the start of every cycle."""
    print("1: Show a number")
    print("2: Double a number")
    print("3: Quit")
    print("Your choice (1, 2 or 3):")


def PrintMe(value):
    """Shows the number the user typed."""
    print("You typed {}.".format(value))
    return value


def DoubleValue(value):
    """Shows the number doubled."""
    doubled = value * 2
    print("{} doubled is {}.".format(value, doubled))
    return doubled
