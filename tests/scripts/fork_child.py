"""Forks three children that use the loopback and end three ways; prints their exit statuses.

Usage: fork_child.py WHERE WORK, where WHERE is the thread that forks:
  handler   a handler, on its cloud's event thread;
  thread    a plain Python thread;
  main      the main thread;
and WORK is what each child does before it ends:
  enter-room   creates a cloud, enters a room, sees OnEnterRoom and keeps the cloud;
  keep-cloud   calls the inherited clouds and keeps them;
  paced-audio  creates a speaker and a listener, sends a frame, then paced audio, hears each (the
               child's own clock routes both), keeps both.
The children end with os._exit(0), sys.exit(0), and by returning (from the handler, the thread's
function or the program). Half of the runs fork while the parent is in a room, so that the parent's
clock thread is running, the other half before any room exists. The parent waits for each child
with a deadline and prints "children: S S S"; a child whose work fails writes why to standard error
and exits with status 3. Run by tests/test_fork_children.py in a fresh interpreter each time.
"""

import os
import random
import signal
import sys
import threading
import time

import mirelo
from mirelo import _mirelo as m
from mirelo import loopback

WAIT_S = 30.0  # generous: a sanitized child exits slowly on a busy machine
ENDINGS = ("_exit", "sys-exit", "return")


class Handler(mirelo.Delegate):
    def __init__(self) -> None:
        super().__init__()
        self.entered = threading.Event()
        self.heard = threading.Event()
        self.on_error = None

    def OnEnterRoom(self) -> None:
        self.entered.set()

    def OnRemoteAudioReceived(self, user_id: str, frame: m.AudioFrame) -> None:
        self.heard.set()

    def OnError(self, error: object) -> None:
        if self.on_error is not None:
            self.on_error()


def params(user: str, room: int) -> m.EnterRoomParams:
    p = m.EnterRoomParams()
    p.room.sdk_app_id = 1400000001
    p.room.room_id = room
    p.room.user_id = m.QoltString(user)
    p.room.user_sig = m.QoltString("sig")
    p.role = m.QOLT_ROLE_ANCHOR
    p.audio_obtain_params.audio_obtain_method = m.AUDIO_OBTAIN_METHOD_CALLBACK
    return p


def child_fails(why: str) -> None:
    os.write(2, f"child {os.getpid()}: {why}\n".encode())
    os._exit(3)


def enter(user: str, room: int) -> tuple:
    handler = Handler()
    cloud = m.QOLTCloud(handler)
    if cloud.EnterRoom(params(user, room)) != 0:
        child_fails(f"{user} could not enter")
    if not handler.entered.wait(WAIT_S):
        child_fails(f"{user} got no OnEnterRoom")
    return handler, cloud


KEPT: list = []  # what a child keeps until it ends


def child_work(work: str) -> None:
    if work == "enter-room":
        KEPT.append(enter("child", 2))
    elif work == "keep-cloud":
        for cloud in PARENT_CLOUDS:
            cloud.SendCustomCmdMsg(1, b"from the child", True, True)
        KEPT.extend(PARENT_CLOUDS)
    elif work == "paced-audio":
        speaker = enter("speaker", 3)
        listener = enter("listener", 3)
        KEPT.extend([speaker, listener])
        listener[1].Subscribe("speaker", m.STREAM_TYPE_AUDIO)
        speaker[1].CreateLocalAudioChannel(m.AudioEncodeParams())
        frame = m.AudioFrame()
        frame.SetData(bytes(1920))
        if speaker[1].SendAudioFrame(frame) != 0:
            child_fails("audio refused")
        if not listener[0].heard.wait(WAIT_S):
            child_fails("the audio sent never arrived")
        listener[0].heard.clear()
        for _ in range(10):
            if speaker[1].SendContinuousAudioFrame(frame, False) != 0:
                child_fails("paced audio refused")
        if not listener[0].heard.wait(WAIT_S):
            child_fails("the paced audio never arrived")


def fork_children(work: str, pids: list) -> None:
    """Forks one child per ending; in a child, does the work and ends that way, or returns 0."""
    for ending in ENDINGS:
        pid = os.fork()
        if pid == 0:
            child_work(work)
            if ending == "_exit":
                os._exit(0)
            if ending == "sys-exit":
                sys.exit(0)
            return
        pids.append(pid)


def wait_for(pid: int) -> int:
    deadline = time.monotonic() + WAIT_S
    while (ended := os.waitpid(pid, os.WNOHANG))[0] == 0:
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return -1
        time.sleep(0.005)
    return os.waitstatus_to_exitcode(ended[1])


PARENT_CLOUDS: list = []


def main(where: str, work: str) -> None:
    loopback.configure(network_quality_interval=3600)  # no periodic events: the parent idles at the forks
    handler = Handler()
    PARENT_CLOUDS.append(m.QOLTCloud(handler))
    handle = loopback.clouds()[-1]
    PARENT_CLOUDS.append(m.QOLTCloud(Handler()))
    if random.random() < 0.5:
        PARENT_CLOUDS[1].EnterRoom(params("parent", 1))  # the parent's clock runs from here on
    # Every thread of the parent has started, delivered an event and gone idle before the forks: the
    # sanitizers' allocator has no fork handlers, and a thread inside it at a fork leaves it locked
    # in the child. An event thread still frees what the event held after the event is reported
    # done, hence the pause.
    for cloud_handle in loopback.clouds():
        loopback.emit(cloud_handle, "OnLocalAudioChannelCreated", timeout=WAIT_S)
    loopback.flush()
    time.sleep(0.1)
    pids: list = []
    parent = os.getpid()
    if where == "handler":
        handler.on_error = lambda: fork_children(work, pids)
        loopback.emit(handle, "OnError", m.ERR_FAILED, timeout=WAIT_S)
    elif where == "thread":
        forker = threading.Thread(target=fork_children, args=(work, pids))
        forker.start()
        forker.join(WAIT_S)
    else:
        fork_children(work, pids)
    if os.getpid() != parent:
        return  # a child on the main thread that ends by returning: the program ends here
    print("children:", *(wait_for(pid) for pid in pids), flush=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
