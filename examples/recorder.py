#!/usr/bin/env python3
"""An audience recorder: joins a room without being heard or seen, writes one WAV file per remote
user and one of the whole room mixed, and stops cleanly on Ctrl-C or SIGTERM with every file complete.

A cloud receives either each user's audio or the room's mix, never both, so the recorder enters the
room twice, as audience both times: once for the tracks, once for the mix. To run standalone against
the loopback service, the script also plays two speakers for --seconds, then stops by itself.
"""

from __future__ import annotations

import argparse
import asyncio
import hashlib
import math
import re
import signal
import sys
import wave
from array import array
from pathlib import Path
from typing import Any

import mirelo
from mirelo import aio

APP_ID = 1400000001
ROOM = "recorded-room"
RATE = 16000  # the recording's format: 16 kHz mono, whatever each user sends
FRAME_MS = 20


def room_params(user_id: str, *, audience: bool, mix: bool = False) -> mirelo.EnterRoomParams:
    params = mirelo.EnterRoomParams()
    params.room.sdk_app_id = APP_ID
    params.room.str_room_id.SetValue(ROOM)
    params.room.user_id.SetValue(user_id)
    params.room.user_sig.SetValue("loopback-signature")
    params.role = mirelo.QOLT_ROLE_AUDIENCE if audience else mirelo.QOLT_ROLE_ANCHOR
    obtain = params.audio_obtain_params
    obtain.audio_obtain_method = mirelo.AUDIO_OBTAIN_METHOD_CALLBACK
    obtain.enable_remote_audio_mix = mix
    obtain.output_sample_rate, obtain.output_channels, obtain.output_frame_length_ms = RATE, 1, FRAME_MS
    return params


def file_name(user_id: str) -> str:
    """A file name for a user id that the room chose, not us: no path, no surprises, no collisions."""
    safe = re.sub(r"[^A-Za-z0-9_-]", "_", user_id)[:64] or "_"
    if safe != user_id or safe == "mix":
        safe += "-" + hashlib.sha256(user_id.encode()).hexdigest()[:8]
    return safe + ".wav"


class Recording:
    """WAV files in a folder, opened on their first frame; every file is complete once closed."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.files: dict[str, wave.Wave_write] = {}
        self.seconds: dict[str, float] = {}

    def write(self, name: str, pcm: bytes) -> None:
        wav = self.files.get(name)
        if wav is None:
            wav = self.files[name] = wave.open(str(self.folder / name), "wb")
            wav.setnchannels(1)
            wav.setsampwidth(2)
            wav.setframerate(RATE)
        wav.writeframes(pcm)
        self.seconds[name] = self.seconds.get(name, 0.0) + len(pcm) / (2 * RATE)

    def close(self) -> None:
        for wav in self.files.values():
            wav.close()  # writes the final sizes into the header


async def record(room: aio.Room, recording: Recording, mix: bool) -> None:
    """Subscribes to every user in the room and writes what arrives, until cancelled. Subscribing when
    a user enters (the users already there are announced too) catches their first frame."""
    async for event in room.stream:
        match event:
            case aio.RemoteUserEnterRoomEvent(info=info):
                aio.check("Subscribe", room.cloud.Subscribe(info.user_id.GetValue() or "", mirelo.STREAM_TYPE_AUDIO))
            case aio.RemoteAudioReceivedEvent(user_id=user_id, frame=frame) if not mix and user_id:
                recording.write(file_name(user_id), frame.data)
            case aio.RemoteMixedAudioReceivedEvent(frame=frame) if mix:
                recording.write("mix.wav", frame.data)


async def recorder(name: str, folder: Path, stop: asyncio.Event) -> Recording:
    recording = Recording(folder)
    try:
        async with (
            aio.Room(room_params(f"{name}-tracks", audience=True)) as tracks,
            aio.Room(room_params(f"{name}-mix", audience=True, mix=True)) as mixed,
        ):
            tasks = [
                asyncio.create_task(record(tracks, recording, False)),
                asyncio.create_task(record(mixed, recording, True)),
            ]
            print(f"recording room {ROOM} into {folder}", flush=True)
            stopped = asyncio.create_task(stop.wait())
            done, _ = await asyncio.wait([stopped, *tasks], return_when=asyncio.FIRST_COMPLETED)
            for task in tasks:
                task.cancel()
            for task in tasks:
                if task in done:
                    task.result()  # a failed recording task fails the recorder
    finally:
        recording.close()
    return recording


def tone_second(hz: int) -> bytes:
    """One second of a sine at 48 kHz: a whole number of cycles, so that it loops without a seam."""
    step = 2 * math.pi * hz / 48000
    return array("h", (int(0.2 * 32767 * math.sin(step * i)) for i in range(48000))).tobytes()


async def speaker(user_id: str, hz: int, seconds: float) -> None:
    """A user of the room who talks for `seconds` (48 kHz, converted for the recorder by the SDK)."""
    second = tone_second(hz)
    async with aio.Room(room_params(user_id, audience=False)) as room:
        channel = mirelo.AudioEncodeParams()
        channel.sample_rate, channel.channels, channel.frame_length_ms = 48000, 1, FRAME_MS
        aio.check("CreateLocalAudioChannel", room.cloud.CreateLocalAudioChannel(channel))
        player = aio.AudioPlayer(room.cloud, sample_rate=48000, frame_ms=FRAME_MS)
        for _ in range(int(seconds)):
            await player.play(second)
        await player.play(second[: int(seconds % 1 * 48000) * 2])
        await player.finished()
        await asyncio.sleep(0.1)  # the last frames are under way


async def main(folder: Path, seconds: float) -> int:
    folder.mkdir(parents=True, exist_ok=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)
    recording_task = asyncio.create_task(recorder("recorder", folder, stop))
    await asyncio.sleep(0.2)  # the recorder is in the room before anyone talks
    speakers = asyncio.gather(speaker("alice", 440, seconds), speaker("bob", 660, seconds))
    stopped = asyncio.create_task(stop.wait())
    waiting: list[asyncio.Future[Any]] = [speakers, recording_task, stopped]
    await asyncio.wait(waiting, return_when=asyncio.FIRST_COMPLETED)
    stop.set()
    speakers.cancel()
    await asyncio.gather(speakers, stopped, return_exceptions=True)
    recording = await recording_task
    for name, length in sorted(recording.seconds.items()):
        print(f"wrote {folder / name}: {length:.2f} s", flush=True)
    return 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--seconds", type=float, default=3.0, help="how long the two speakers talk")
    parser.add_argument("--out", type=Path, default=Path("recording"), help="the folder for the WAV files")
    arguments = parser.parse_args()
    sys.exit(asyncio.run(main(arguments.out, arguments.seconds)))
