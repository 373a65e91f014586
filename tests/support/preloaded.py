"""The Linux program run with support/trace_preload.cpp preloaded: each
device it opens and each wait is recorded, in order, and none is carried
out, so no drive of this machine is ever reached."""

import os
import subprocess


def run(program, preload, arguments, scratch, before=(), flags=False):
    """Runs `before` (a tracer, say) with the program and its arguments.
    Returns the finished process, the recorded steps ("open PATH", with the
    open flags in hex after it when `flags`; "wait N ms") and the log the
    preload wrote them to, in `scratch`."""
    log = os.path.join(scratch, "preload.log")
    if os.path.exists(log):
        os.remove(log)
    env = dict(os.environ, LD_PRELOAD=preload, DORVANEL_TRACE=log)
    if flags:
        env["DORVANEL_TRACE_FLAGS"] = "1"
    result = subprocess.run([*before, program, *arguments], env=env, capture_output=True, timeout=60)
    steps = []
    if os.path.exists(log):
        with open(log, encoding="latin-1") as f:
            steps = f.read().splitlines()
    return result, steps, log


def refusals(steps):
    """Standard error once the program has been refused each device open in `steps` ("open PATH")."""
    return b"".join(b"dorvanel: %s: no such device\n" % step.split()[1].encode()
                    for step in steps if step.startswith("open "))
