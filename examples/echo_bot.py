#!/usr/bin/env python3
"""An echo bot: it listens to every user who enters its room and sends their audio straight back.

Handlers run on the SDK's threads with the interpreter lock held, so the bot's handler does nothing
but put each event on a queue; the main thread takes them off and does the work (subscribing,
sending). To run standalone against the loopback service, the script also plays the other party: a
caller enters, speaks a 440 Hz tone for a few seconds, counts its echoes and leaves.
"""

from __future__ import annotations

import argparse
import math
import queue
import threading
import time
from array import array
from typing import Union

import mirelo
from mirelo import (
    QOLT_ROLE_ANCHOR,
    STREAM_TYPE_AUDIO,
    AudioEncodeParams,
    AudioFrame,
    EnterRoomParams,
    QOLTCloud,
    UserInfo,
)

APP_ID = 1400000001
ROOM = "echo-room"
BOT = "echo-bot"
CALLER = "caller"
RATE = 48000
FRAME_MS = 20
WAIT_S = 5.0

# What the bot's handler hands to the main thread: a user who entered or left, or a frame to echo.
Entered = tuple[str, str]
Heard = tuple[str, AudioFrame]
Event = Union[Entered, Heard]


def room_params(user_id: str) -> EnterRoomParams:
    params = EnterRoomParams()
    params.room.sdk_app_id = APP_ID
    params.room.str_room_id.SetValue(ROOM)
    params.room.user_id.SetValue(user_id)
    params.room.user_sig.SetValue("loopback-signature")
    params.role = QOLT_ROLE_ANCHOR
    # The bot hears what it is sent in the format it sends, so frames go back unchanged.
    params.audio_obtain_params.output_sample_rate = RATE
    params.audio_obtain_params.output_channels = 1
    return params


def audio_channel() -> AudioEncodeParams:
    encode = AudioEncodeParams()
    encode.sample_rate, encode.channels, encode.frame_length_ms = RATE, 1, FRAME_MS
    return encode


class BotHandler(mirelo.Delegate):
    """Runs on the SDK's thread: queues and returns. The queue is unbounded here because the main
    thread keeps up; a bot that may fall behind should bound it and drop audio, never block."""

    def __init__(self, events: queue.Queue[Event]) -> None:
        super().__init__()
        self.events = events
        self.entered = threading.Event()

    def OnEnterRoom(self) -> None:
        self.entered.set()

    def OnRemoteUserEnterRoom(self, info: UserInfo) -> None:
        self.events.put(("entered", info.user_id.GetValue() or ""))

    def OnRemoteUserExitRoom(self, info: UserInfo, reason: int) -> None:
        self.events.put(("left", info.user_id.GetValue() or ""))

    def OnRemoteAudioReceived(self, user_id: str | None, frame: AudioFrame) -> None:
        self.events.put(("heard", frame))  # the frame is the handler's own copy


class CallerHandler(mirelo.Delegate):
    def __init__(self) -> None:
        super().__init__()
        self.entered = threading.Event()
        self.bot_present = threading.Event()
        self.echoes = 0
        self.echoed = threading.Condition()

    def OnEnterRoom(self) -> None:
        self.entered.set()

    def OnRemoteUserEnterRoom(self, info: UserInfo) -> None:
        if info.user_id.GetValue() == BOT:
            self.bot_present.set()

    def OnRemoteAudioReceived(self, user_id: str | None, frame: AudioFrame) -> None:
        with self.echoed:
            self.echoes += 1
            self.echoed.notify_all()


def wait(event: threading.Event, what: str) -> None:
    if not event.wait(WAIT_S):
        raise SystemExit(f"timed out waiting for {what}")


def run_caller(seconds: float, handler: CallerHandler, bot_listening: threading.Event) -> None:
    """The other party: enters, speaks a tone in real time once the bot listens, hears the echoes
    out and leaves."""
    cloud = QOLTCloud(handler)
    if cloud.EnterRoom(room_params(CALLER)) != 0:
        raise SystemExit("caller could not enter")
    wait(handler.entered, "the caller to enter")
    wait(handler.bot_present, "the bot to be in the room")
    wait(bot_listening, "the bot to listen")
    cloud.Subscribe(BOT, STREAM_TYPE_AUDIO)
    cloud.CreateLocalAudioChannel(audio_channel())
    samples = RATE * FRAME_MS // 1000
    frame = AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = RATE, 1, 16
    start = time.monotonic()
    frames = int(seconds * 1000 / FRAME_MS)
    for index in range(frames):
        delay = start + index * FRAME_MS / 1000 - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        tone = array(
            "h", (int(8000 * math.sin(2 * math.pi * 440 * (index * samples + i) / RATE)) for i in range(samples))
        )
        frame.SetData(tone.tobytes())
        frame.pts = index * FRAME_MS
        cloud.SendAudioFrame(frame)
    with handler.echoed:  # the last echoes are still on their way back
        handler.echoed.wait_for(lambda: handler.echoes >= frames, WAIT_S)
    cloud.ExitRoom()
    del cloud


def run_bot(events: queue.Queue[Event], cloud: QOLTCloud, listening: threading.Event) -> int:
    """The bot's main loop: everything that calls the SDK happens here, on the main thread."""
    echoed = 0
    while True:
        try:
            kind, value = events.get(timeout=WAIT_S)
        except queue.Empty:
            raise SystemExit("the bot heard nothing for too long") from None
        if kind == "entered" and isinstance(value, str):
            print(f"bot: {value} entered, listening")
            cloud.Subscribe(value, STREAM_TYPE_AUDIO)
            listening.set()
        elif kind == "heard" and isinstance(value, AudioFrame):
            cloud.SendAudioFrame(value)
            echoed += 1
        elif kind == "left":
            print(f"bot: {value} left")
            return echoed


def main() -> None:
    parser = argparse.ArgumentParser(description="An echo bot, with a caller to talk to it.")
    parser.add_argument("--seconds", type=float, default=3.0, help="how long the caller speaks")
    args = parser.parse_args()

    events: queue.Queue[Event] = queue.Queue()
    bot = BotHandler(events)
    cloud = QOLTCloud(bot)
    if cloud.EnterRoom(room_params(BOT)) != 0:
        raise SystemExit("the bot could not enter")
    wait(bot.entered, "the bot to enter")
    cloud.CreateLocalAudioChannel(audio_channel())

    caller = CallerHandler()
    listening = threading.Event()  # the bot has subscribed: the caller may speak
    caller_thread = threading.Thread(target=run_caller, args=(args.seconds, caller, listening))
    caller_thread.start()
    echoed = run_bot(events, cloud, listening)
    caller_thread.join(timeout=WAIT_S)
    cloud.ExitRoom()
    del cloud
    print(f"bot: echoed {echoed} frames; the caller heard {caller.echoes} of them")


if __name__ == "__main__":
    main()
