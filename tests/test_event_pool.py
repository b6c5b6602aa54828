"""Events delivered by a shared pool of threads: per-cloud order, one event at a time, and no
handler that blocks (on the loopback, on another cloud's event, on anything) stops the others.

Checks that could hang for good run in fresh interpreters with a timeout.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from conftest import CloudRig, fork_unless_sanitized
from mirelo import _mirelo as m
from mirelo import loopback

WAIT_S = 10.0


@pytest.fixture
def event_threads(loopback_config: Callable[..., None]) -> Iterator[Callable[[int], None]]:
    """Sets the pool's size (0: a thread per cloud) for the clouds made afterwards."""
    yield lambda count: loopback_config(event_threads=count)


def run_python(code: str, timeout: float = 60.0) -> tuple[int, str, str]:
    """Runs `code` in a fresh interpreter, outside the repository so that it imports the installed
    package; status -1 when it outlived `timeout` and was killed."""
    try:
        done = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout, cwd="/"
        )
    except subprocess.TimeoutExpired as expired:
        return (-1, f"hung: {expired.stdout!r}", f"{expired.stderr!r}")
    return (done.returncode, done.stdout, done.stderr)


class Ordered(m.QOLTCloudDelegate):
    """Records, per emitter, the numbers of its events, and whether two of them ever overlapped."""

    def __init__(self) -> None:
        super().__init__()
        self.received: dict[int, list[int]] = {}
        self.running = 0
        self.overlaps = 0
        self.threads: set[int] = set()

    def OnMissCustomCmdMsg(self, user_id: str, tag: int, error_code: int, sequence: int) -> None:
        self.overlaps += self.running
        self.running += 1
        self.received.setdefault(tag, []).append(sequence)
        self.threads.add(threading.get_ident())
        threading.Event().wait(0)  # gives the interpreter lock a chance to change hands mid-event
        self.running -= 1


@pytest.mark.usefixtures("native_deadlock_guard")
@pytest.mark.parametrize("threads", [0, 1, 2])
def test_each_cloud_gets_its_events_in_order_and_one_at_a_time(
    threads: int, event_threads: Callable[[int], None], make_cloud: Callable[..., CloudRig]
) -> None:
    event_threads(threads)
    rigs = [make_cloud(Ordered()) for _ in range(12)]
    emitters, per_emitter = 3, 60
    errors: list[BaseException] = []

    def emit_all(tag: int) -> None:
        try:
            for sequence in range(per_emitter):
                for rig in rigs:
                    loopback.emit(rig.handle, "OnMissCustomCmdMsg", "u", tag, 0, sequence, timeout=WAIT_S)
        except BaseException as error:  # noqa: BLE001 - handed to the test thread
            errors.append(error)

    workers = [threading.Thread(target=emit_all, args=(tag,)) for tag in range(emitters)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(timeout=60)
    assert not any(worker.is_alive() for worker in workers)
    assert not errors
    for rig in rigs:
        assert rig.handler.received == {tag: list(range(per_emitter)) for tag in range(emitters)}
        assert rig.handler.overlaps == 0
    if threads == 0:  # a thread of its own per cloud
        assert all(len(rig.handler.threads) == 1 for rig in rigs)
        assert len(set().union(*(rig.handler.threads for rig in rigs))) == len(rigs)


class Blocker(m.QOLTCloudDelegate):
    """OnError blocks until released; OnEnterRoom records that it ran and when, against `blocked`."""

    def __init__(self) -> None:
        super().__init__()
        self.release = threading.Event()
        self.blocked_done = threading.Event()
        self.order: list[str] = []

    def OnError(self, error: Any) -> None:
        self.release.wait(WAIT_S)
        self.order.append("blocking")
        self.blocked_done.set()

    def OnEnterRoom(self) -> None:
        self.order.append("after")


def test_a_blocked_handler_holds_its_own_cloud_but_not_the_others(
    event_threads: Callable[[int], None], make_cloud: Callable[..., CloudRig]
) -> None:
    event_threads(1)
    blocked = make_cloud(Blocker())
    other = make_cloud()
    with pytest.raises(TimeoutError):
        loopback.emit(blocked.handle, "OnError", 1, timeout=0)  # queued; its handler blocks
    with pytest.raises(TimeoutError):
        loopback.emit(blocked.handle, "OnEnterRoom", timeout=0)  # queued behind it
    try:
        # Delivered once the stall bound has passed, while the blocked handler still waits.
        loopback.emit(other.handle, "OnExitRoom", timeout=WAIT_S)
        assert not blocked.handler.blocked_done.is_set()
        assert blocked.handler.order == []
    finally:
        blocked.handler.release.set()
    loopback.flush(timeout=WAIT_S)
    assert blocked.handler.order == ["blocking", "after"]


# A one-thread pool whose stall bound is out of reach unless the case lowers it: what keeps the
# other clouds going is the handler's wait itself.
WAITING_HANDLERS = """
import concurrent.futures, sys, threading
from mirelo import _mirelo as m
from mirelo import loopback

loopback.configure(event_threads=1, event_stall_ms=60000)
CASE = sys.argv[1] if len(sys.argv) > 1 else "{case}"
future = concurrent.futures.Future()

class Waiter(m.QOLTCloudDelegate):
    def OnError(self, error):
        try:
            loopback.emit(other_handle, "OnExitRoom", timeout=0)
        except TimeoutError:
            pass  # queued behind this handler, on the only thread
        if CASE == "flush":
            loopback.flush(timeout=10)
        elif CASE == "emit":
            loopback.emit(other_handle, "OnEnterRoom", timeout=10)
        else:
            future.result(timeout=10)
        print("waited", flush=True)

class Other(m.QOLTCloudDelegate):
    def OnExitRoom(self):
        future.set_result(True)
    def OnEnterRoom(self):
        pass

other = m.QOLTCloud(Other())
other_handle = loopback.clouds()[-1]
if CASE == "future":
    loopback.configure(event_stall_ms=20)
waiter = m.QOLTCloud(Waiter())
loopback.emit(loopback.clouds()[-1], "OnError", 1, timeout=10)
del waiter, other
print("ok")
"""


@pytest.mark.parametrize("case", ["flush", "emit", "future"])
def test_a_handler_waiting_for_another_clouds_event_on_one_thread_completes(case: str) -> None:
    assert run_python(WAITING_HANDLERS.format(case=case)) == (0, "waited\nok\n", "")


DESTROYERS = """
import threading
from mirelo import _mirelo as m
from mirelo import loopback

loopback.configure(event_threads=1)
CASE = "{case}"
names = ["a"] if CASE == "own" else ["a", "b"]
clouds, handlers, late = {{}}, {{}}, []
in_flight = threading.Barrier(len(names))  # on one thread: met once the stall bound adds another
finished = threading.Semaphore(0)

class Destroyer(m.QOLTCloudDelegate):
    def __init__(self, target):
        super().__init__()
        self.target = target
        self.destroyed = False
    def OnError(self, error):
        in_flight.wait(10)
        cloud = clouds.pop(self.target)
        handlers[self.target].destroyed = True
        del cloud
        finished.release()
    def OnEnterRoom(self):
        if self.destroyed:
            late.append(self)

for name in names:
    handlers[name] = Destroyer(name if CASE == "own" else ("b" if name == "a" else "a"))
    clouds[name] = m.QOLTCloud(handlers[name])
for handle in loopback.clouds()[-len(names):]:
    for operation, args in (("OnError", (1,)), ("OnEnterRoom", ()), ("OnEnterRoom", ())):
        try:
            loopback.emit(handle, operation, *args, timeout=0)
        except TimeoutError:
            pass  # queued: the handler blocks, and what follows waits behind it
        except ValueError:
            pass  # the cloud destroyed itself already
for _ in names:
    assert finished.acquire(timeout=10)
loopback.flush(timeout=10)
assert not clouds and not late and not loopback.failures(), (clouds, late, loopback.failures())
print("ok")
"""


@pytest.mark.parametrize("case", ["own", "each-others"])
def test_handlers_destroying_clouds_on_one_thread_never_wait_for_good(case: str) -> None:
    assert run_python(DESTROYERS.format(case=case)) == (0, "ok\n", "")


FORK_WHILE_DELIVERING = """
import os, threading
from mirelo import _mirelo as m
from mirelo import loopback

class Counter(m.QOLTCloudDelegate):
    def __init__(self):
        super().__init__()
        self.count = 0
    def OnEnterRoom(self):
        self.count += 1

parent_clouds = [m.QOLTCloud(Counter()) for _ in range(8)]
stop = threading.Event()

def keep_emitting():
    while not stop.is_set():
        for handle in loopback.clouds():
            try:
                loopback.emit(handle, "OnEnterRoom", timeout=0)
            except TimeoutError:
                pass

feeder = threading.Thread(target=keep_emitting)
feeder.start()
for _ in range(5):
    pid = os.fork()
    if pid == 0:
        handler = Counter()
        cloud = m.QOLTCloud(handler)
        loopback.emit(loopback.clouds()[-1], "OnEnterRoom", timeout=10, repeat=100)
        os._exit(0 if handler.count == 100 else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
stop.set()
feeder.join(10)
loopback.flush(timeout=10)
print("ok")
"""


@fork_unless_sanitized
def test_a_child_forked_while_the_pool_delivers_gets_events_on_clouds_of_its_own() -> None:
    assert run_python(FORK_WHILE_DELIVERING) == (0, "ok\n", "")


def test_two_hundred_clouds_do_not_add_two_hundred_threads(
    event_threads: Callable[[int], None], fresh_loopback: Any
) -> None:
    event_threads(2)
    before_threads = len(os.listdir("/proc/self/task"))
    before = set(loopback.clouds())
    clouds = [m.QOLTCloud(m.QOLTCloudDelegate()) for _ in range(200)]
    for handle in set(loopback.clouds()) - before:
        loopback.emit(handle, "OnEnterRoom", timeout=WAIT_S)
    assert len(os.listdir("/proc/self/task")) - before_threads < 20
    del clouds


@pytest.mark.parametrize(
    ("name", "value"),
    [("event_threads", -1), ("event_threads", 257), ("event_stall_ms", 0), ("event_stall_ms", 60001)],
)
def test_event_tunables_out_of_range_are_refused_and_change_nothing(
    name: str, value: int, loopback_config: Callable[..., None]
) -> None:
    before = loopback.configuration()
    with pytest.raises(ValueError, match=name):
        loopback_config(**{name: value})
    assert loopback.configuration() == before


def test_reset_restores_the_event_tunables(loopback_config: Callable[..., None]) -> None:
    loopback_config(event_threads=0, event_stall_ms=500)
    assert {k: loopback.configuration()[k] for k in ("event_threads", "event_stall_ms")} == {
        "event_threads": 0,
        "event_stall_ms": 500,
    }
    loopback.reset(configuration=True)
    defaults = {name: limit[2] for name, limit in loopback.limits()["configure"].items()}
    assert loopback.configuration() == defaults
    assert defaults["event_threads"] == min(os.cpu_count() or 1, 256)
