"""A decode that starts only when all of its siblings have started, so that they overlap: the
task a process scheduler's workers import (the tests' folder is on their PYTHONPATH)."""
import os
import time

import vorn_r10


def decode_together(barrier, count, capture, snapshot):
    open(os.path.join(barrier, str(os.getpid())), "w").close()
    deadline = time.monotonic() + 20
    while len(os.listdir(barrier)) < count:
        if time.monotonic() > deadline:
            raise TimeoutError("the other decodes did not start")
        time.sleep(0.001)
    return os.getpid(), vorn_r10.decode(capture, snapshot)
