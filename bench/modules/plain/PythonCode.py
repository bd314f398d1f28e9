# A module with no imports: what a restart costs with nothing of the script's own to load.


def printsomething():
    pass


def PrintMe(value):
    return value


def DoubleValue(value):
    return value * 2
