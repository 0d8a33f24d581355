"""Start-up report: the silent call once the guard is set, and the full block."""

import contextlib
import io
import os
from datetime import datetime
from getpass import getuser
from platform import platform, python_implementation
from socket import getfqdn
from sys import version

from run import Case
from tools.launchbrief.launchbrief import launchbrief


def python_launchbrief(prefix="app", name="main", separator=":"):
    var_name = prefix + separator + name
    if os.environ.get(var_name) == "true":
        return None
    os.environ[var_name] = "true"
    info = []
    execution_date = datetime.now().strftime("%Y-%m-%d %H:%M:%S.%f")
    info.append("-" * len(execution_date))
    info.append(execution_date)
    lines = []
    for label, obtain in (("User: ", getuser), ("Host: ", getfqdn), ("OS Platform: ", lambda: platform(aliased=True)),
                          ("Python Version: ", lambda: version), ("Implementation: ", python_implementation)):
        try:
            value = obtain()
        except Exception as exc:
            value = exc
        lines.append(label + str(value))
    info.extend(lines)
    info.append("-" * len(lines[-1]))
    print("\n".join(info))
    return None


def full_report(report, var_name):
    def run():
        os.environ.pop(var_name, None)
        with contextlib.redirect_stdout(io.StringIO()):
            report("bench", "full")
    return run


def cases():
    os.environ["bench:silent"] = "true"
    yield Case("launchbrief, guard already set",
               lambda: launchbrief("bench", "silent"), lambda: python_launchbrief("bench", "silent"))
    yield Case("launchbrief, full block (stdout captured)",
               full_report(launchbrief, "bench:full"), full_report(python_launchbrief, "bench:full"))
