"""Handlers that drop each other's clouds while all of them are in flight; prints "ok" and exits 0.

Usage: destroy_cycle.py CASE ROUNDS, where CASE is one of
  pair            two clouds, each handler drops the other's cloud;
  ring            three clouds, each handler drops the next one's cloud;
  self-and-other  two clouds, each handler drops its own cloud and the other's, in a random order.
Every handler first queues events behind its own event, then waits until every handler is in
flight, then drops its targets. No handler may get an event once its cloud's destruction has
returned, every event thread must end, and nothing may wait for good: a cycle of waits would hang
this process, which only the parent (tests/test_destroy_cycles.py) can time out.
"""

import os
import random
import sys
import threading

import mirelo
from mirelo import _mirelo as m
from mirelo import loopback

WAIT_S = 10.0
FOLLOWERS = 50  # events queued behind each handler's own event, all to be cancelled or delivered before


class Dropper(mirelo.Delegate):
    """On OnError, drops the clouds named in `targets`; counts events that arrive too late."""

    def __init__(self, round_: "Round", name: str, targets: list) -> None:
        super().__init__()
        self.round = round_
        self.name = name
        self.targets = targets
        self.handle = 0
        self.destroyed = False  # set once the destruction of this handler's cloud has returned

    def OnError(self, error: object) -> None:
        self.check_alive("OnError")
        loopback.emit(self.handle, "OnRemoteAudioAvailable", "follower", True, repeat=FOLLOWERS)
        self.round.all_in_flight.wait()
        for target in self.targets:
            cloud = self.round.clouds.pop(target, None)
            if cloud is not None:
                del cloud
                self.round.handlers[target].destroyed = True
        with self.round.lock:
            self.round.finished += 1
            if self.round.finished == len(self.round.handlers):
                self.round.done.set()

    def OnRemoteAudioAvailable(self, user_id: str, available: bool) -> None:
        self.check_alive("OnRemoteAudioAvailable")

    def check_alive(self, event: str) -> None:
        if self.destroyed:
            self.round.late.append((self.name, event))


class Round:
    def __init__(self, targets_of: dict) -> None:
        self.lock = threading.Lock()
        self.finished = 0
        self.done = threading.Event()
        self.late: list = []
        self.all_in_flight = threading.Barrier(len(targets_of), timeout=WAIT_S)
        self.handlers = {name: Dropper(self, name, targets) for name, targets in targets_of.items()}
        self.clouds = {}
        for name, handler in self.handlers.items():
            self.clouds[name] = m.QOLTCloud(handler)
            handler.handle = loopback.clouds()[-1]

    def run(self) -> None:
        for handler in self.handlers.values():
            try:
                loopback.emit(handler.handle, "OnError", m.ERR_FAILED, timeout=0)
            except TimeoutError:
                pass  # queued; the handlers wait for each other
        if not self.done.wait(WAIT_S):
            fail(f"the handlers still wait after {WAIT_S} s: {self.finished} of {len(self.handlers)} ended")
        if self.late:
            fail(f"events reached handlers whose cloud was destroyed: {self.late}")
        if self.clouds or loopback.clouds():
            fail(f"clouds outlived the round: {list(self.clouds)} {loopback.clouds()}")


def fail(message: str) -> None:
    sys.stderr.write(message + "\n")
    sys.stderr.flush()
    os._exit(1)  # a normal exit could wait on the very threads that hang


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def wait_threads(expected: int) -> None:
    deadline = threading.Event()
    for _ in range(int(WAIT_S * 100)):
        if thread_count() == expected:
            return
        deadline.wait(0.01)
    fail(f"{thread_count() - expected} threads of destroyed clouds are still running")


def targets_for(case: str) -> dict:
    if case == "pair":
        return {"a": ["b"], "b": ["a"]}
    if case == "ring":
        return {"a": ["b"], "b": ["c"], "c": ["a"]}
    if case == "self-and-other":
        return {"a": random.sample(["a", "b"], 2), "b": random.sample(["a", "b"], 2)}
    raise SystemExit(f"unknown case {case}")


if __name__ == "__main__":
    case, rounds = sys.argv[1], int(sys.argv[2])
    baseline = thread_count()
    for _ in range(rounds):
        Round(targets_for(case)).run()
        wait_threads(baseline)
    if loopback.failures():
        fail(f"handlers failed: {loopback.failures()}")
    print("ok")
