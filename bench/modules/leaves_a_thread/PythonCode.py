# The plain module, but PrintMe leaves a daemon thread behind, blocked on a queue, as a worker
# that is never stopped is: each of its calls hands the dialogue over to a copy of the process.
import queue
import threading


def printsomething():
    pass


def PrintMe(value):
    threading.Thread(target=queue.Queue().get, daemon=True).start()
    return value


def DoubleValue(value):
    return value * 2
