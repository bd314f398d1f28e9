# Every call leaves a worker thread behind, blocked on a queue, as a worker that is never stopped
# is: each call is followed by a fresh image of the program, as a python3 process exits.
import queue
import threading


def leave_worker():
    threading.Thread(target=queue.Queue().get, daemon=True).start()


def printsomething():
    leave_worker()


def PrintMe(value):
    leave_worker()
    return value


def DoubleValue(value):
    leave_worker()
    return value * 2
