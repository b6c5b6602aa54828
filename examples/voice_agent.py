#!/usr/bin/env python3
"""A voice agent written with asyncio: it listens to one caller at 16 kHz, notices when the caller
has finished a turn, answers with paced audio, stops within a frame when the caller talks over it
(barge-in), and knows when its answer has finished playing.

The agent's "speech recognition" is a level meter and its "answer" a short chime, so that the
script runs anywhere: put a real model where `answer_for` is. To run standalone against the
loopback service, the script also plays the caller: three turns, talking over the second answer
as soon as it starts.
"""

from __future__ import annotations

import argparse
import asyncio
import math
import sys
from array import array
from collections.abc import Callable
from dataclasses import dataclass

import mirelo
from mirelo import aio

APP_ID = 1400000001
ROOM = "voice-agent-room"
AGENT = "agent"
CALLER = "caller"
RATE = 16000  # the agent hears and speaks 16 kHz mono
FRAME_MS = 20
LOUD = 1000  # RMS above which a frame counts as speech
END_OF_TURN_MS = 400  # this much quiet after speech ends the caller's turn


def room_params(user_id: str) -> mirelo.EnterRoomParams:
    params = mirelo.EnterRoomParams()
    params.room.sdk_app_id = APP_ID
    params.room.str_room_id.SetValue(ROOM)
    params.room.user_id.SetValue(user_id)
    params.room.user_sig.SetValue("loopback-signature")
    params.role = mirelo.QOLT_ROLE_ANCHOR
    params.audio_obtain_params.output_sample_rate = RATE  # converted by the SDK, whatever was sent
    params.audio_obtain_params.output_channels = 1
    params.audio_obtain_params.output_frame_length_ms = FRAME_MS
    return params


def open_audio_channel(room: aio.Room) -> None:
    encode = mirelo.AudioEncodeParams()
    encode.sample_rate, encode.channels, encode.frame_length_ms = RATE, 1, FRAME_MS
    aio.check("CreateLocalAudioChannel", room.cloud.CreateLocalAudioChannel(encode))


def rms(pcm: bytes) -> float:
    samples = array("h", pcm)
    return math.sqrt(sum(s * s for s in samples) / len(samples)) if samples else 0.0


def tone(seconds: float, hz: float, level: float = 0.3) -> bytes:
    step = 2 * math.pi * hz / RATE
    return array("h", (int(level * 32767 * math.sin(step * i)) for i in range(int(seconds * RATE)))).tobytes()


def answer_for(turn: int) -> bytes:
    """The agent's reply to the caller's `turn`-th turn: a chime of one second."""
    return tone(1.0, 660.0 + 110.0 * turn)


@dataclass
class AgentReport:
    turns: int = 0  # caller turns that ended
    answers_finished: int = 0
    answers_interrupted: int = 0


async def agent(ready: asyncio.Event) -> AgentReport:
    """Answers each turn of its caller until the caller leaves."""
    report = AgentReport()
    async with aio.Room(room_params(AGENT)) as room:
        open_audio_channel(room)
        player = aio.AudioPlayer(room.cloud, sample_rate=RATE, frame_ms=FRAME_MS, lead=0.1)
        answering: asyncio.Task[None] | None = None

        async def answer(turn: int) -> None:
            await player.play(answer_for(turn))
            await player.finished()
            report.answers_finished += 1

        ready.set()
        speaking = False
        quiet_ms = 0
        async for event in room.stream:
            match event:
                case aio.RemoteUserEnterRoomEvent(info=info):
                    aio.check(
                        "Subscribe", room.cloud.Subscribe(info.user_id.GetValue() or "", mirelo.STREAM_TYPE_AUDIO)
                    )
                case aio.RemoteAudioReceivedEvent(frame=frame) if rms(frame.data) > LOUD:
                    if answering is not None and not answering.done():
                        player.interrupt()  # barge-in: stop talking within a frame
                        answering.cancel()
                        report.answers_interrupted += 1
                    speaking, quiet_ms = True, 0
                case aio.RemoteAudioReceivedEvent() if speaking:
                    quiet_ms += FRAME_MS
                    if quiet_ms >= END_OF_TURN_MS:
                        speaking = False
                        report.turns += 1
                        answering = asyncio.create_task(answer(report.turns))
                case aio.RemoteUserExitRoomEvent():
                    break
        if answering is not None:
            answering.cancel()
    return report


async def caller(ready: asyncio.Event) -> int:
    """Three turns, as a person would take them: waits for the first answer to end, talks over the
    second as soon as it starts, then waits for the third. Returns how many of the agent's frames it
    heard while it was talking over it (the agent's reaction time, in frames)."""
    await asyncio.wait_for(ready.wait(), 5)
    async with aio.Room(room_params(CALLER)) as room:
        open_audio_channel(room)
        await room.stream.next(aio.RemoteUserEnterRoomEvent, timeout=5)
        aio.check("Subscribe", room.cloud.Subscribe(AGENT, mirelo.STREAM_TYPE_AUDIO))
        voice = aio.AudioPlayer(room.cloud, sample_rate=RATE, frame_ms=FRAME_MS, lead=0.06)
        loop = asyncio.get_running_loop()
        agent_frames = 0  # loud frames heard from the agent
        last_heard = loop.time()
        talking_over = False
        heard_while_talking_over = 0

        def on_agent(event: aio.RemoteAudioReceivedEvent) -> None:
            nonlocal agent_frames, last_heard, heard_while_talking_over
            if rms(event.frame.data) > LOUD:
                agent_frames += 1
                last_heard = loop.time()
                heard_while_talking_over += talking_over

        async def listen_until(done: Callable[[], bool]) -> None:
            """Keeps the microphone open (silence, frame by frame) until `done()`."""
            silence = bytes(RATE * FRAME_MS // 1000 * 2)
            async with asyncio.timeout(30):
                while not done():
                    await voice.play(silence)

        def answered(before: int) -> bool:
            return agent_frames > before and loop.time() - last_heard > 0.3

        room.stream.on(aio.RemoteAudioReceivedEvent, on_agent)
        heard = agent_frames
        await voice.play(tone(0.6, 220.0))  # turn 1
        await listen_until(lambda: answered(heard))
        heard = agent_frames
        await voice.play(tone(0.6, 220.0))  # turn 2
        await listen_until(lambda: agent_frames > heard)
        talking_over = True
        await voice.play(tone(0.6, 220.0))  # turn 3, over the second answer
        await voice.finished()
        talking_over = False
        heard = agent_frames
        await listen_until(lambda: answered(heard))
    return heard_while_talking_over


async def main() -> int:
    ready = asyncio.Event()
    agent_task = asyncio.create_task(agent(ready))
    late_frames = await caller(ready)
    report = await asyncio.wait_for(agent_task, 5)
    print(
        f"agent: {report.turns} turns, {report.answers_finished} answers finished, "
        f"{report.answers_interrupted} interrupted; the caller heard {late_frames} frames of it after talking over it"
    )
    # The agent stops within a frame of hearing the caller; a few more were already on their way.
    return (
        0
        if (report.turns, report.answers_finished, report.answers_interrupted) == (3, 2, 1) and late_frames <= 10
        else 1
    )


if __name__ == "__main__":
    argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None).parse_args()
    sys.exit(asyncio.run(main()))
