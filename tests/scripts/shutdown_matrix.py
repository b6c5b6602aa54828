"""One way for a program to end while its clouds are alive and their events flow.

Usage: shutdown_matrix.py CASE, where CASE is one of
  global         exits with a cloud in a room as a module global;
  own-handler    exits with a cloud in a room stored on its own handler (a reference cycle);
  thread         exits while a daemon thread, the cloud's only holder, keeps calling it;
  sys-exit       a handler calls sys.exit: the SystemExit leaves that event (the loopback records
                 it), the cloud keeps delivering, and the program ends normally;
  interrupt      KeyboardInterrupt reaches the main thread while it calls into its cloud; the
                 program catches it and ends with the cloud alive;
  fork           forks three children while the cloud's events flow and another cloud's event is
                 in flight: one exits at once, one destroys the inherited cloud and runs a cloud of
                 its own, one calls os._exit; none may hang or wait for the parent's events.
  daemon-destroy daemon threads create and drop clouds whose events flow, while the program exits:
                 a thread may be taking the interpreter lock back after a Destroy as it finalizes;
  raise          handlers raise in required events, flooded from several threads, as the program
                 exits: the SDK gets each error as the program finalizes;
  self-destroy   handlers drop their own clouds, one after another, as the program exits;
  poll           a handler polls a queue with a timeout (giving up the lock and taking it back) for
                 longer than the exit drain waits, with its cloud a module global;
  compute        a handler computes in Python for longer than the exit drain waits.
Each case prints what the tests compare and exits 0; anything else is a failure. Run by
tests/test_shutdown_matrix.py in a fresh interpreter each time.
"""

import faulthandler
import gc
import os
import queue
import random
import signal
import sys
import threading
import time
from collections.abc import Callable

from mirelo import _mirelo as m
from mirelo import loopback

WAIT_S = 20.0


class Handler(m.QOLTCloudDelegate):
    """Counts every event it gets; `flowing` is set once the events keep coming."""

    def __init__(self) -> None:
        super().__init__()
        self.events = 0
        self.flowing = threading.Event()
        self.cloud = None

    def count(self, *args: object) -> None:
        self.events += 1
        if self.events >= 30:
            self.flowing.set()

    OnEnterRoom = OnExitRoom = OnError = OnConnectionStateChanged = count
    OnLocalAudioChannelCreated = OnLocalAudioChannelDestroyed = count
    OnRemoteUserEnterRoom = OnRemoteUserExitRoom = OnRemoteAudioAvailable = count
    OnRemoteAudioReceived = OnRemoteMixedAudioReceived = OnNetworkQuality = count


def enter(cloud: m.QOLTCloud, user: str) -> None:
    """Enters the shared room and opens an audio channel, so that the room service works too."""
    params = m.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.room_id = 77
    params.room.user_id = m.QoltString(user)
    params.room.user_sig = m.QoltString("sig")
    params.role = m.QOLT_ROLE_ANCHOR
    params.audio_obtain_params.audio_obtain_method = m.AUDIO_OBTAIN_METHOD_CALLBACK
    if cloud.EnterRoom(params) != 0 or cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) != 0:
        fail(f"{user} could not enter the room")


def speak(cloud: m.QOLTCloud, frames: int) -> None:
    frame = m.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.SetData(bytes(1920))
    for _ in range(frames):
        cloud.SendContinuousAudioFrame(frame, False)  # paced by the room service's clock


def flood(handle: int) -> None:
    """Raises events on the cloud until it is gone or the interpreter ends this thread."""
    try:
        while True:
            loopback.emit(handle, "OnEnterRoom", timeout=5.0)
    except (ValueError, TimeoutError):
        pass


def start_flooding(handle: int, threads: int = 2) -> None:
    for _ in range(threads):
        threading.Thread(target=flood, args=(handle,), daemon=True).start()


def fail(message: str) -> None:
    print(message, file=sys.stderr, flush=True)
    os._exit(3)


def live_pair(user: str) -> tuple[Handler, m.QOLTCloud, int]:
    handler = Handler()
    cloud = m.QOLTCloud(handler)
    handle = loopback.clouds()[-1]
    enter(cloud, user)
    return handler, cloud, handle


def wait_flowing(handler: Handler) -> None:
    if not handler.flowing.wait(WAIT_S):
        fail(f"only {handler.events} events")


def case_global() -> None:
    global CLOUD, HANDLER, LISTENER, LISTENER_CLOUD
    LISTENER, LISTENER_CLOUD, _ = live_pair("listener")
    HANDLER, CLOUD, handle = live_pair("speaker")
    speak(CLOUD, 50)
    start_flooding(handle)
    wait_flowing(HANDLER)
    print("exiting", flush=True)


def case_own_handler() -> None:
    handler, cloud, handle = live_pair("speaker")
    handler.cloud = cloud  # the cloud keeps its handler alive and the handler its cloud
    listener, listener_cloud, _ = live_pair("listener")
    listener.cloud = listener_cloud
    speak(cloud, 50)
    start_flooding(handle)
    wait_flowing(handler)
    print("exiting", flush=True)


def case_thread() -> None:
    started = threading.Event()

    def hold() -> None:
        handler, cloud, handle = live_pair("holder")  # no other reference anywhere
        start_flooding(handle, 1)
        wait_flowing(handler)
        started.set()
        while True:
            cloud.SendCustomCmdMsg(1, b"still here", True, True)
            speak(cloud, 1)
            time.sleep(0.001)

    threading.Thread(target=hold, daemon=True).start()
    if not started.wait(WAIT_S):
        fail("the holding thread did not start")
    print("exiting", flush=True)


class Exiting(Handler):
    def OnEnterRoom(self) -> None:
        self.count()
        sys.exit(5)


def case_sys_exit() -> None:
    global CLOUD
    handler = Exiting()
    CLOUD = m.QOLTCloud(handler)
    handle = loopback.clouds()[-1]
    for _ in range(3):
        loopback.emit(handle, "OnEnterRoom")
    loopback.emit(handle, "OnRemoteAudioAvailable", "alice", True)
    texts = [text for cloud, name, text in loopback.failures() if cloud == handle]
    print(f"{handler.events} events, failures: {len(texts)} {texts[0].splitlines()[0]}", flush=True)


def case_interrupt() -> None:
    global CLOUD, HANDLER
    HANDLER, CLOUD, handle = live_pair("speaker")
    start_flooding(handle)
    wait_flowing(HANDLER)
    # Ctrl-C: the signal lands at a random point of the loop below.
    threading.Timer(random.uniform(0.0, 0.05), os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            CLOUD.SendCustomCmdMsg(1, b"busy", True, True)
            speak(CLOUD, 1)
            loopback.emit(handle, "OnEnterRoom")
        fail("no KeyboardInterrupt")
    except KeyboardInterrupt:
        print("interrupted", flush=True)


def child(mode: str, cloud: m.QOLTCloud) -> None:
    """What a child may do: exit, destroy what it inherited, run clouds of its own."""
    # A child that hangs in Python shows where before the parent gives up on it (its standard error
    # is the parent's, which the test prints).
    faulthandler.dump_traceback_later(WAIT_S / 2, exit=True)
    if mode == "_exit":
        os._exit(0)
    if mode == "own cloud":
        del cloud
        gc.collect()
        handler = Handler()
        own = m.QOLTCloud(handler)
        loopback.emit(loopback.clouds()[-1], "OnEnterRoom")
        if handler.events != 1:
            fail("the child's own cloud did not deliver")
        del own
    sys.exit(0)


class Blocking(m.QOLTCloudDelegate):
    """Holds its event until released, without the interpreter lock: an event in flight."""

    def __init__(self) -> None:
        super().__init__()
        self.entered = threading.Event()
        self.release = threading.Event()

    def OnEnterRoom(self) -> None:
        self.entered.set()
        self.release.wait(WAIT_S)


def case_fork() -> None:
    global CLOUD, HANDLER, BLOCKED
    HANDLER, CLOUD, handle = live_pair("speaker")
    speak(CLOUD, 50)
    start_flooding(handle)
    wait_flowing(HANDLER)
    blocking = Blocking()
    BLOCKED = m.QOLTCloud(blocking)
    threading.Thread(target=loopback.emit, args=(loopback.clouds()[-1], "OnEnterRoom"), daemon=True).start()
    if not blocking.entered.wait(WAIT_S):
        fail("the blocking event did not start")
    codes = []
    for mode in ("exit", "own cloud", "_exit"):
        began = time.monotonic()
        pid = os.fork()
        if pid == 0:
            child(mode, CLOUD)
        while (ended := os.waitpid(pid, os.WNOHANG))[0] == 0:
            if time.monotonic() > began + WAIT_S:
                os.kill(pid, signal.SIGKILL)
                fail(f"the child that would {mode} hangs")
            time.sleep(0.005)
        if time.monotonic() - began > 4.0:  # the binding's exit drain waits up to 5 s for events
            fail(f"the child that would {mode} waited for events in flight in the parent")
        codes.append(os.waitstatus_to_exitcode(ended[1]))
    blocking.release.set()
    print("children:", *codes, flush=True)


def exit_soon() -> None:
    """Lets the program exit at a random point of what its threads are doing."""
    time.sleep(random.uniform(0.0, 0.03))
    print("exiting", flush=True)


class Sleepy(Handler):
    """Takes a moment over every event, so that a Destroy waits for one in flight."""

    def OnEnterRoom(self) -> None:
        self.count()
        time.sleep(0.0005)


def case_daemon_destroy() -> None:
    turned = threading.Barrier(3, timeout=WAIT_S)

    creating = threading.Lock()

    def churn() -> None:
        rounds = 0
        while True:
            with creating:  # so that the newest cloud is this thread's
                cloud = m.QOLTCloud(Sleepy())
                handle = loopback.clouds()[-1]
            start_flooding(handle, 1)
            time.sleep(0.002)
            del cloud  # Destroy, the lock given up meanwhile
            rounds += 1
            if rounds == 3:
                turned.wait()

    for _ in range(2):
        threading.Thread(target=churn, daemon=True).start()
    turned.wait()
    exit_soon()


class Raising(Handler):
    def OnEnterRoom(self) -> None:
        raise RuntimeError("a bug in the handler")


def case_raise() -> None:
    global CLOUDS
    CLOUDS = [m.QOLTCloud(Raising()) for _ in range(3)]
    for handle in loopback.clouds()[-3:]:
        start_flooding(handle)
    if not wait_until(lambda: len(loopback.failures()) >= 30):
        fail("the handlers' errors did not reach the SDK")
    exit_soon()


class DroppingItself(Handler):
    def OnEnterRoom(self) -> None:
        self.count()
        self.cloud = None  # the last reference: Destroy on the cloud's own event thread


def case_self_destroy() -> None:
    started = threading.Event()
    creating = threading.Lock()

    def churn() -> None:
        while True:
            handler = DroppingItself()
            with creating:  # so that the newest cloud is this thread's
                handler.cloud = m.QOLTCloud(handler)
                handle = loopback.clouds()[-1]
            loopback.emit(handle, "OnEnterRoom")
            del handler
            started.set()

    for _ in range(2):
        threading.Thread(target=churn, daemon=True).start()
    if not started.wait(WAIT_S):
        fail("no cloud was made")
    exit_soon()


class Polling(Handler):
    """Never returns from its event: waits on a queue that nobody fills, with a timeout."""

    def __init__(self) -> None:
        super().__init__()
        self.entered = threading.Event()

    def OnEnterRoom(self) -> None:
        self.entered.set()
        waiting: queue.Queue[int] = queue.Queue()
        while True:
            try:
                waiting.get(timeout=0.5)
            except queue.Empty:
                pass


class Computing(Polling):
    """Never returns from its event: computes in Python, holding the lock but for the interpreter's switches."""

    def OnEnterRoom(self) -> None:
        self.entered.set()
        total = 0
        while True:
            total += 1


def case_stuck(handler_class: type) -> None:
    global CLOUD, HANDLER, LISTENER, LISTENER_CLOUD
    LISTENER, LISTENER_CLOUD, _ = live_pair("listener")
    HANDLER = handler_class()
    CLOUD = m.QOLTCloud(HANDLER)
    handle = loopback.clouds()[-1]
    threading.Thread(target=loopback.emit, args=(handle, "OnEnterRoom"), kwargs={"timeout": 600}, daemon=True).start()
    if not HANDLER.entered.wait(WAIT_S):
        fail("the handler did not start")
    print("exiting", flush=True)


def wait_until(condition: Callable[[], bool]) -> bool:
    deadline = time.monotonic() + WAIT_S
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.001)
    return True


CASES = {
    "global": case_global,
    "own-handler": case_own_handler,
    "thread": case_thread,
    "sys-exit": case_sys_exit,
    "interrupt": case_interrupt,
    "fork": case_fork,
    "daemon-destroy": case_daemon_destroy,
    "raise": case_raise,
    "self-destroy": case_self_destroy,
    "poll": lambda: case_stuck(Polling),
    "compute": lambda: case_stuck(Computing),
}

if __name__ == "__main__":
    CASES[sys.argv[1]]()
