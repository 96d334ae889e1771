"""What the host sides of the QEMU tests share: the runs a guest printed on its console, and the
list of checks they report."""
import json
import re


def read_console(path):
    """The console's text, carriage returns dropped."""
    return open(path, "rb").read().decode("utf-8", "replace").replace("\r", "")


def runs(text):
    """Each run the guest framed as '@@begin NAME' ... '@@end NAME RC', in order:
    (name, rc, body, objects), objects being the JSON lines of the body that parse."""
    for m in re.finditer(r"@@begin (\S+)\n(.*?)@@end \1 (\d+)", text, re.S):
        objects = []
        for line in m.group(2).splitlines():
            line = line.strip()
            if line.startswith("{"):
                try:
                    objects.append(json.loads(line))
                except ValueError:
                    pass
        yield m.group(1), int(m.group(3)), m.group(2), objects


def last(objects):
    """The last JSON line of a run, None when it printed none."""
    return objects[-1] if objects else None


class Checks:
    """Called with a condition and what it checks: prints the check and keeps count."""

    def __init__(self):
        self.failures = []
        self.passed = 0

    def __call__(self, cond, what):
        if cond:
            self.passed += 1
            print(f"ok   {what}")
        else:
            self.failures.append(what)
            print(f"FAIL {what}")
