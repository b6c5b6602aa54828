"""Destroys clouds while Python threads flood them with events; exits 0 when every round ends.

Run in a subprocess by the tests: a deadlock between Destroy and an event waiting for the
interpreter lock would hang the whole interpreter, which only a parent process can time out.
Usage: destroy_flooded_cloud.py FLOODERS ROUNDS
"""

import sys
import threading
import time

from mirelo import _mirelo as m
from mirelo import loopback


class Busy(m.QOLTCloudDelegate):
    """Re-raises OnEnterRoom on its own cloud, so that its event thread never idles."""

    def __init__(self) -> None:
        super().__init__()
        self.handle = 0
        self.delivered = 0
        self.started = threading.Event()

    def OnEnterRoom(self) -> None:
        self.delivered += 1
        loopback.emit(self.handle, "OnEnterRoom")  # from the event thread: queued, no wait

    def OnRemoteAudioAvailable(self, user_id: str, available: bool) -> None:
        self.delivered += 1
        if self.delivered >= 20:
            self.started.set()


def flood(handle: int, start: threading.Barrier, errors: list) -> None:
    try:
        start.wait(timeout=10)
        while True:
            loopback.emit(handle, "OnRemoteAudioAvailable", "alice", True, timeout=10)
    except ValueError:  # the cloud is gone: the flood ends
        pass
    except BaseException as error:  # noqa: BLE001 - reported by the main thread
        errors.append(error)


def one_round(flooders: int) -> None:
    handler = Busy()
    cloud = m.QOLTCloud(handler)
    handler.handle = handle = loopback.clouds()[-1]
    start = threading.Barrier(flooders + 1)
    errors: list = []
    threads = [threading.Thread(target=flood, args=(handle, start, errors)) for _ in range(flooders)]
    for thread in threads:
        thread.start()
    loopback.emit(handle, "OnEnterRoom")
    start.wait(timeout=10)
    if not handler.started.wait(10):
        raise AssertionError("the flood did not start")

    began = time.monotonic()
    del cloud
    took = time.monotonic() - began
    delivered = handler.delivered
    for thread in threads:
        thread.join(timeout=20)
    loopback.flush()
    if took > 10 or any(thread.is_alive() for thread in threads) or errors:
        raise AssertionError(f"destroy took {took:.1f} s; flooders alive or failed: {errors}")
    if handle in loopback.clouds() or handler.delivered != delivered:
        raise AssertionError("the cloud outlived its destruction or an event ran after it")


if __name__ == "__main__":
    for _ in range(int(sys.argv[2])):
        one_round(int(sys.argv[1]))
    print("done")
