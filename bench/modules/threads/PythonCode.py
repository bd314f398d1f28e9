# PrintMe starts a worker thread, blocked on a queue. With SCRIPT_MENU_BENCH_LEAVE_THREAD=1 it leaves
# the worker behind, as a worker that is never stopped is, and each of its calls is followed by a
# fresh image of the program; otherwise it stops the worker and joins it before it returns.
import os
import queue
import threading


def printsomething():
    pass


def PrintMe(value):
    jobs = queue.Queue()
    worker = threading.Thread(target=jobs.get, daemon=True)
    worker.start()
    if os.environ.get("SCRIPT_MENU_BENCH_LEAVE_THREAD") != "1":
        jobs.put(None)
        worker.join()
    return value


def DoubleValue(value):
    return value * 2
