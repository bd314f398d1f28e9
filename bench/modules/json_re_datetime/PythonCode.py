# A module that loads the extension modules behind json, re and datetime on every restart.
import datetime
import json
import re


def printsomething():
    pass


def PrintMe(value):
    return value


def DoubleValue(value):
    text = json.dumps({"value": value, "day": datetime.date(2000, 1, 2).isoformat()})
    return int(re.search(r'"value": (-?\d+)', text).group(1)) * 2
