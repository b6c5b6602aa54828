#!/usr/bin/env python3
"""An echo bot written with asyncio: it listens to every user who enters its room and sends their
audio straight back on its own audio channel.

To run standalone against the loopback service, the script also plays the other party: a caller
enters the same room, speaks a 440 Hz tone for a few seconds, counts the echoes and leaves; the bot
leaves when its caller does.
"""

from __future__ import annotations

import argparse
import asyncio
import math
import sys
from array import array

import mirelo
from mirelo import aio

APP_ID = 1400000001
ROOM = "echo-room"
BOT = "echo-bot"
CALLER = "caller"
RATE = 48000
FRAME_MS = 20
SAMPLES_PER_FRAME = RATE * FRAME_MS // 1000


def room_params(user_id: str) -> mirelo.EnterRoomParams:
    params = mirelo.EnterRoomParams()
    params.room.sdk_app_id = APP_ID
    params.room.str_room_id.SetValue(ROOM)
    params.room.user_id.SetValue(user_id)
    params.room.user_sig.SetValue("loopback-signature")
    params.role = mirelo.QOLT_ROLE_ANCHOR
    # Both sides hear 48 kHz mono, the format they send, so the bot echoes frames unchanged.
    params.audio_obtain_params.output_sample_rate = RATE
    params.audio_obtain_params.output_channels = 1
    return params


def open_audio_channel(room: aio.Room) -> None:
    encode = mirelo.AudioEncodeParams()
    encode.sample_rate = RATE
    encode.channels = 1
    encode.frame_length_ms = FRAME_MS
    aio.check("CreateLocalAudioChannel", room.cloud.CreateLocalAudioChannel(encode))


async def bot(ready: asyncio.Event) -> int:
    """Echoes until its caller leaves; returns how many frames it sent back."""
    echoed = 0
    async with aio.Room(room_params(BOT)) as room:
        open_audio_channel(room)
        ready.set()
        async for event in room.stream:
            match event:
                case aio.RemoteUserEnterRoomEvent(info=info):
                    user = info.user_id.GetValue() or ""
                    print(f"bot: {user} entered, listening")
                    aio.check("Subscribe", room.cloud.Subscribe(user, mirelo.STREAM_TYPE_AUDIO))
                case aio.RemoteAudioReceivedEvent(frame=frame):
                    # The frame is the bot's own copy: it can go straight back out.
                    aio.check("SendAudioFrame", room.cloud.SendAudioFrame(frame))
                    echoed += 1
                case aio.RemoteUserExitRoomEvent(info=info):
                    print(f"bot: {info.user_id.GetValue()} left")
                    break
    return echoed


def tone(frames: int, hz: float = 440.0) -> list[bytes]:
    """`frames` frames of a sine, as 16-bit mono PCM."""
    step = 2 * math.pi * hz / RATE
    samples = array("h", (int(0.3 * 32767 * math.sin(step * i)) for i in range(frames * SAMPLES_PER_FRAME)))
    data = samples.tobytes()
    size = SAMPLES_PER_FRAME * 2
    return [data[i : i + size] for i in range(0, len(data), size)]


async def caller(seconds: float) -> tuple[int, int, int]:
    """Speaks for `seconds`; returns frames sent, frames heard back, and how many of those match."""
    sent_payloads: set[bytes] = set()  # the tone repeats every 5 frames: few distinct payloads
    sent = heard = matching = 0

    def on_echo(event: aio.RemoteAudioReceivedEvent) -> None:
        nonlocal heard, matching
        heard += 1
        matching += event.frame.data in sent_payloads

    async with aio.Room(room_params(CALLER)) as room:
        open_audio_channel(room)
        await room.stream.next(aio.RemoteUserEnterRoomEvent, timeout=5)
        aio.check("Subscribe", room.cloud.Subscribe(BOT, mirelo.STREAM_TYPE_AUDIO))
        room.stream.on(aio.RemoteAudioReceivedEvent, on_echo)
        loop = asyncio.get_running_loop()
        start = loop.time()
        for index, payload in enumerate(tone(int(seconds * 1000 / FRAME_MS))):
            # Paced in real time against the clock, so that sleeping late does not add up.
            await asyncio.sleep(max(0.0, start + index * FRAME_MS / 1000 - loop.time()))
            frame = mirelo.AudioFrame()
            frame.sample_rate = RATE
            frame.channels = 1
            frame.bits_per_sample = 16
            frame.codec = mirelo.AUDIO_CODEC_TYPE_PCM
            frame.pts = index * FRAME_MS
            frame.SetData(payload)
            aio.check("SendAudioFrame", room.cloud.SendAudioFrame(frame))
            sent_payloads.add(payload)
            sent += 1
        await asyncio.sleep(0.2)  # the last echoes are under way
    return sent, heard, matching


async def main(seconds: float) -> int:
    ready = asyncio.Event()
    bot_task = asyncio.create_task(bot(ready))
    await asyncio.wait_for(ready.wait(), 5)
    sent, heard, matching = await caller(seconds)
    echoed = await asyncio.wait_for(bot_task, 5)
    print(f"caller sent {sent} frames; the bot echoed {echoed}; the caller heard {heard}, {matching} unchanged")
    return 0 if heard and matching == heard else 1


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--seconds", type=float, default=3.0, help="how long the caller speaks")
    sys.exit(asyncio.run(main(parser.parse_args().seconds)))
