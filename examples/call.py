#!/usr/bin/env python3
"""Two clients in one room of the loopback service.

The speaker publishes a 440 Hz tone (48 kHz mono PCM in 20 ms frames, paced in real time), SEI
messages on a video channel and a few custom messages. The listener subscribes, asks for its audio at
16 kHz, writes what it hears to a WAV file and prints one line a second.
"""

from __future__ import annotations

import argparse
import math
import sys
import threading
import time
import wave
from array import array

import mirelo
from mirelo import (
    AUDIO_CODEC_TYPE_PCM,
    QOLT_ROLE_ANCHOR,
    STREAM_TYPE_AUDIO,
    STREAM_TYPE_VIDEO_HIGH,
    AudioEncodeParams,
    AudioFrame,
    EnterRoomParams,
    NetworkQualityInfo,
    QOLTCloud,
)

APP_ID = 1400000001
ROOM = "demo-room"
SPEAKER = "speaker"
LISTENER = "listener"
SEND_RATE = 48000
RECEIVE_RATE = 16000
FRAME_MS = 20
TONE_HZ = 440
WAIT_S = 5.0


def room_params(user_id: str, output_rate: int) -> EnterRoomParams:
    params = EnterRoomParams()
    # Reading a nested record gives a view: writes through it change params itself.
    params.room.sdk_app_id = APP_ID
    params.room.str_room_id.SetValue(ROOM)
    params.room.user_id.SetValue(user_id)
    params.room.user_sig.SetValue("loopback-signature")
    params.role = QOLT_ROLE_ANCHOR
    params.audio_obtain_params.output_sample_rate = output_rate
    params.audio_obtain_params.output_channels = 1
    return params


def tone_second(rate: int, hz: int, amplitude: float = 0.3) -> bytes:
    """One second of a sine: a whole number of cycles, so it loops without a seam."""
    samples = array("h", (int(amplitude * 32767 * math.sin(2 * math.pi * hz * i / rate)) for i in range(rate)))
    return samples.tobytes()


class Speaker(mirelo.Delegate):
    def __init__(self) -> None:
        super().__init__()
        self.entered = threading.Event()
        self.left = threading.Event()

    def OnEnterRoom(self) -> None:
        self.entered.set()

    def OnExitRoom(self) -> None:
        self.left.set()


class Listener(mirelo.Delegate):
    """Counts what arrives. Runs on the SDK's thread: it only appends and counts, never blocks."""

    def __init__(self) -> None:
        super().__init__()
        self.entered = threading.Event()
        self.left = threading.Event()
        self.lock = threading.Lock()
        self.frames = 0
        self.bytes = 0
        self.sei = 0
        self.messages = 0
        self.quality = "-"
        self.pcm: list[bytes] = []

    def OnEnterRoom(self) -> None:
        self.entered.set()

    def OnExitRoom(self) -> None:
        self.left.set()

    def OnRemoteAudioReceived(self, user_id: str | None, frame: AudioFrame) -> None:
        data = frame.data
        with self.lock:
            self.frames += 1
            self.bytes += len(data)
            self.pcm.append(data)

    def OnSeiMessageReceived(self, user_id: str | None, stream_type: object, message_type: int, message: bytes) -> None:
        with self.lock:
            self.sei += 1

    def OnReceiveCustomCmdMsg(self, user_id: str | None, cmd_id: int, seq: int, message: bytes) -> None:
        with self.lock:
            self.messages += 1

    def OnNetworkQuality(self, local: NetworkQualityInfo, remote: list[NetworkQualityInfo]) -> None:
        with self.lock:
            self.quality = local.quality.name.removeprefix("NETWORK_QUALITY_")


def check(result: int, what: str) -> None:
    if result != 0:
        raise SystemExit(f"{what} failed with {result}")


def wait(event: threading.Event, what: str) -> None:
    if not event.wait(WAIT_S):
        raise SystemExit(f"timed out waiting for {what}")


def run(seconds: float, out: str) -> int:
    """The call, then the WAV of what the listener heard: also when Ctrl-C cuts the call short."""
    listener = Listener()
    try:
        call(listener, seconds)
    except KeyboardInterrupt:
        print("interrupted: keeping what was heard", flush=True)
        return 130
    finally:
        # The clouds are gone by now: no event adds to listener.pcm any more.
        with wave.open(out, "wb") as wav:
            wav.setnchannels(1)
            wav.setsampwidth(2)
            wav.setframerate(RECEIVE_RATE)
            wav.writeframes(b"".join(listener.pcm))
        print(f"wrote {out}: {listener.bytes / 2 / RECEIVE_RATE:.2f} s of {RECEIVE_RATE} Hz audio")
    return 0


def call(listener: Listener, seconds: float) -> None:
    speaker = Speaker()
    speaker_cloud, listener_cloud = QOLTCloud(speaker), QOLTCloud(listener)
    try:
        check(speaker_cloud.EnterRoom(room_params(SPEAKER, SEND_RATE)), "speaker EnterRoom")
        check(listener_cloud.EnterRoom(room_params(LISTENER, RECEIVE_RATE)), "listener EnterRoom")
        wait(speaker.entered, "the speaker to enter")
        wait(listener.entered, "the listener to enter")
        check(listener_cloud.Subscribe(SPEAKER, STREAM_TYPE_AUDIO), "Subscribe audio")
        check(listener_cloud.Subscribe(SPEAKER, STREAM_TYPE_VIDEO_HIGH), "Subscribe video")

        encode = AudioEncodeParams()
        encode.sample_rate, encode.channels, encode.frame_length_ms = SEND_RATE, 1, FRAME_MS
        check(speaker_cloud.CreateLocalAudioChannel(encode), "CreateLocalAudioChannel")
        check(speaker_cloud.CreateLocalVideoChannel(STREAM_TYPE_VIDEO_HIGH), "CreateLocalVideoChannel")
        publish(speaker_cloud, listener, seconds)

        check(speaker_cloud.ExitRoom(), "speaker ExitRoom")
        check(listener_cloud.ExitRoom(), "listener ExitRoom")
        wait(speaker.left, "the speaker to leave")
        wait(listener.left, "the listener to leave")
    finally:
        # Dropping the last reference destroys the SDK cloud; no event reaches its handler after that.
        del speaker_cloud, listener_cloud


def publish(cloud: QOLTCloud, listener: Listener, seconds: float) -> None:
    tone = tone_second(SEND_RATE, TONE_HZ)
    frame_bytes = SEND_RATE * FRAME_MS // 1000 * 2
    frame = AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = SEND_RATE, 1, 16
    frame.codec = AUDIO_CODEC_TYPE_PCM
    frame_count = int(seconds * 1000 / FRAME_MS)
    start = time.monotonic()
    for index in range(frame_count):
        # Pace by the clock, not by sleeping a fixed step, so that send jitter does not accumulate.
        delay = start + index * FRAME_MS / 1000 - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        offset = index * frame_bytes % len(tone)
        frame.SetData(tone[offset : offset + frame_bytes])
        frame.pts = index * FRAME_MS
        check(cloud.SendAudioFrame(frame), "SendAudioFrame")
        if index % 10 == 0:
            cloud.SendSeiMessage(5, f"frame {index}".encode())
        if index % 25 == 0:
            cloud.SendCustomCmdMsg(1, f"hello #{index // 25}".encode(), True, True)
        if (index + 1) % (1000 // FRAME_MS) == 0:
            report(listener, (index + 1) * FRAME_MS // 1000)


def report(listener: Listener, second: int) -> None:
    with listener.lock:
        print(
            f"t={second}s frames={listener.frames} bytes={listener.bytes} "
            f"sei={listener.sei} messages={listener.messages} quality={listener.quality}",
            flush=True,
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--seconds", type=float, default=3.0, help="how long the speaker talks")
    parser.add_argument("--out", default="received.wav", help="the WAV file the listener writes")
    args = parser.parse_args()
    sys.exit(run(args.seconds, args.out))


if __name__ == "__main__":
    main()
