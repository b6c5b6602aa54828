"""Exits while a cloud stored on its own handler is alive and its events keep flowing.

The cloud and its handler refer to each other, so neither is freed before the interpreter shuts
down; the events raised meanwhile must neither crash nor hang the exit. With the argument
"releases-lock" the handler gives up the interpreter lock inside each event (as any handler that
sleeps, waits or does I/O does), with "keeps-lock" it does not. Prints "exiting" just before the
script ends.
"""

import sys
import threading
import time

from mirelo import _mirelo as m
from mirelo import loopback

RELEASES_LOCK = sys.argv[1] == "releases-lock"
WANTED = 20


class Handler(m.QOLTCloudDelegate):
    def __init__(self) -> None:
        super().__init__()
        self.seen = 0
        self.flowing = threading.Event()
        self.cloud = None

    def OnEnterRoom(self) -> None:
        self.seen += 1
        if self.seen >= WANTED:
            self.flowing.set()
        if RELEASES_LOCK:
            time.sleep(0.0005)


def flood(handle: int) -> None:
    try:
        while True:
            loopback.emit(handle, "OnEnterRoom", timeout=1.0)
    except (ValueError, TimeoutError):
        pass


handler = Handler()
handler.cloud = m.QOLTCloud(handler)
for _ in range(2):
    threading.Thread(target=flood, args=(loopback.clouds()[-1],), daemon=True).start()
if not handler.flowing.wait(10.0):
    print(f"only {handler.seen} events", file=sys.stderr)
    sys.exit(3)
print("exiting", flush=True)
