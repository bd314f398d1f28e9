# A module with the imports that modules people write have: json, logging to a file, sqlite3 and
# datetime, each used at every call. None keeps the program from restarting the interpreter.
import datetime
import json
import logging
import os
import sqlite3

log = logging.getLogger("PythonCode")
log.addHandler(logging.FileHandler(os.devnull))
log.setLevel(logging.INFO)


def printsomething():
    log.info("menu at %s", datetime.datetime(2000, 1, 2, 3, 4).isoformat())


def PrintMe(value):
    with sqlite3.connect(":memory:") as database:
        (row,) = database.execute("select ?", (json.dumps({"value": value}),))
    log.info("row %s", row[0])
    return value


def DoubleValue(value):
    return value * 2
