"""Audio in loopback rooms: format checks, resampling, mixing, GetAudioFrame, pacing, VAD."""

import math
import os
import random
import struct
import threading
import time
from collections.abc import Callable
from typing import Any

import pytest

from conftest import RoomRig, enter_params, fork_unless_sanitized, plain, wait_until
from mirelo import _mirelo as m
from mirelo import loopback

AUDIO = m.STREAM_TYPE_AUDIO
INVALID_OPERATION, INVALID_PARAMETER = int(m.ERR_INVALID_OPERATION), int(m.ERR_INVALID_PARAMETER)
TRY_AGAIN = int(m.ERR_READ_TRY_AGAIN)


def pcm(samples: list[int]) -> bytes:
    return struct.pack(f"<{len(samples)}h", *samples)


def samples_of(data: bytes) -> list[int]:
    return list(struct.unpack(f"<{len(data) // 2}h", data))


def audio(samples: list[int], rate: int = 48000, channels: int = 1, **fields: Any) -> m.AudioFrame:
    frame = m.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = rate, channels, 16
    for name, value in fields.items():
        setattr(frame, name, value)
    frame.SetData(pcm(samples))
    return frame


def sine(frequency: float, rate: int, count: int, start: int = 0, amplitude: int = 10000) -> list[int]:
    return [round(amplitude * math.sin(2 * math.pi * frequency * (start + i) / rate)) for i in range(count)]


def crossings(samples: list[int]) -> int:
    return sum(1 for a, b in zip(samples, samples[1:]) if (a < 0) != (b < 0))


def publisher(make_member: Callable[..., RoomRig], user: str = "alice", room_id: int = 1, **channel: Any) -> RoomRig:
    rig = make_member(user, room_id)
    params = m.AudioEncodeParams()
    for name, value in channel.items():
        setattr(params, name, value)
    assert rig.cloud.CreateLocalAudioChannel(params) == 0
    return rig


def listener(make_member: Callable[..., RoomRig], *senders: str, user: str = "bob", **obtain: Any) -> RoomRig:
    rig = make_member(user, **obtain)
    for sender in senders:
        assert rig.cloud.Subscribe(sender, AUDIO) == 0
    loopback.flush()
    rig.mark()
    return rig


def received(rig: RoomRig, event: str = "OnRemoteAudioReceived") -> list[Any]:
    return [args[-1] for name, args in rig.handler.calls[rig._mark :] if name == event]


class TestSendAudioFrame:
    @pytest.mark.parametrize(
        "frame_fields",
        [
            {"bits_per_sample": 8},
            {"rate": 16000},
            {"channels": 2},
            {"samples": []},
            {"data": b"\x00\x01\x02"},
            {"codec": m.AUDIO_CODEC_TYPE_OPUS},  # encoded on a channel that encodes itself
        ],
    )
    def test_frames_that_do_not_fit_the_channel_are_refused(
        self, make_member: Callable[..., RoomRig], frame_fields: dict[str, Any]
    ) -> None:
        alice = publisher(make_member)
        bob = listener(make_member, "alice")
        data = frame_fields.pop("data", None)
        frame = audio(
            frame_fields.pop("samples", [1] * 960),
            frame_fields.pop("rate", 48000),
            frame_fields.pop("channels", 1),
            **frame_fields,
        )
        if data is not None:
            frame.SetData(data)
        assert alice.cloud.SendAudioFrame(frame) == INVALID_PARAMETER
        assert alice.cloud.SendContinuousAudioFrame(frame, False) == INVALID_PARAMETER
        loopback.flush()
        assert bob.since() == []

    def test_needs_a_channel(self, make_member: Callable[..., RoomRig]) -> None:
        alice = make_member("alice")
        assert alice.cloud.SendAudioFrame(audio([1] * 960)) == INVALID_OPERATION
        assert alice.cloud.SendContinuousAudioFrame(audio([1] * 960), True) == INVALID_OPERATION

    def test_encoded_frame_passes_unchanged_on_a_channel_without_encoding(
        self, make_member: Callable[..., RoomRig]
    ) -> None:
        alice = publisher(make_member, need_encode=False)
        bob = listener(make_member, "alice")
        frame = audio([], codec=m.AUDIO_CODEC_TYPE_OPUS, pts=77)
        frame.SetData(b"\xfcopus")
        assert alice.cloud.SendAudioFrame(frame) == 0
        loopback.flush()
        (got,) = received(bob)
        assert (got.data, got.codec, got.pts, got.sample_rate) == (b"\xfcopus", m.AUDIO_CODEC_TYPE_OPUS, 77, 48000)


class TestSentAudioIsRoutedAsIfAtOnce:
    """SendAudioFrame leaves the routing to the loopback's clock, yet every operation sees each frame
    as routed when it was sent."""

    @pytest.mark.parametrize(
        "operation, event",
        [
            (lambda alice: alice.cloud.SendCustomCmdMsg(1, b"done", True, True), "OnReceiveCustomCmdMsg"),
            (lambda alice: alice.cloud.DestroyLocalAudioChannel(), "OnRemoteAudioAvailable"),
            (lambda alice: alice.cloud.ExitRoom(), "OnRemoteUserExitRoom"),
            (lambda alice: alice.close(), "OnRemoteUserExitRoom"),
        ],
        ids=["custom message", "channel destroyed", "room left", "cloud destroyed"],
    )
    def test_a_listener_hears_the_audio_before_what_the_sender_did_next(
        self, make_member: Callable[..., RoomRig], operation: Callable[[RoomRig], Any], event: str
    ) -> None:
        for round_ in range(20):  # the clock routes at its own moment: give it chances to race
            alice = publisher(make_member, f"alice{round_}")
            bob = listener(make_member, f"alice{round_}", user=f"bob{round_}")
            for index in range(5):
                assert alice.cloud.SendAudioFrame(audio([index] * 960, pts=index * 20)) == 0
            operation(alice)
            loopback.flush()
            names = bob.names()
            audio_at = [at for at, name in enumerate(names) if name == "OnRemoteAudioReceived"]
            assert len(audio_at) == 5 and max(audio_at) < names.index(event), names

    def test_a_flush_waits_for_the_frames_the_clock_is_routing(self, make_member: Callable[..., RoomRig]) -> None:
        alice = publisher(make_member, sample_rate=16000)
        bob = listener(make_member, "alice")
        for round_ in range(1, 201):  # the flush often comes while the clock routes
            for _ in range(5):
                assert alice.cloud.SendAudioFrame(audio([1] * 320, 16000)) == 0
            loopback.flush()
            assert len(received(bob)) == 5 * round_

    def test_a_subscription_hears_the_frames_sent_while_it_lasts(self, make_member: Callable[..., RoomRig]) -> None:
        alice = publisher(make_member, sample_rate=16000)
        bob = listener(make_member)
        for index in range(50):
            assert alice.cloud.SendAudioFrame(audio([1] * 320, 16000, pts=index * 40)) == 0
            assert bob.cloud.Subscribe("alice", AUDIO) == 0
            assert alice.cloud.SendAudioFrame(audio([2] * 320, 16000, pts=index * 40 + 20)) == 0
            assert bob.cloud.Unsubscribe("alice", AUDIO) == 0
        loopback.flush()
        assert [frame.pts for frame in received(bob)] == [index * 40 + 20 for index in range(50)]

    def test_every_frame_accepted_while_the_sender_leaves_is_heard(
        self, make_member: Callable[..., RoomRig], loopback_config: Callable[..., None]
    ) -> None:
        loopback_config(media_queue_bound=4096)  # none dropped for load: every frame must be heard
        alice = publisher(make_member, sample_rate=16000)
        bob = listener(make_member, "alice")
        start = threading.Barrier(4, timeout=10)
        results: list[int] = []
        errors: list[BaseException] = []

        def send() -> None:
            try:
                start.wait()
                for _ in range(300):
                    results.append(alice.cloud.SendAudioFrame(audio([7] * 320, 16000)))
                    time.sleep(0)  # the senders and the leaver take turns
            except BaseException as error:  # noqa: BLE001 - handed to the test thread
                errors.append(error)

        senders = [threading.Thread(target=send) for _ in range(3)]
        for sender in senders:
            sender.start()
        start.wait()
        time.sleep(0.002)
        assert alice.cloud.ExitRoom() == 0
        for sender in senders:
            sender.join(timeout=30)
        loopback.flush()
        assert errors == [] and set(results) <= {0, INVALID_OPERATION}
        assert sum(len(frame.data) // 2 for frame in received(bob)) == 320 * results.count(0)

    @pytest.mark.parametrize("where", ["process", pytest.param("fork child", marks=fork_unless_sanitized)])
    def test_the_clock_routes_sent_audio_unasked(self, make_member: Callable[..., RoomRig], where: str) -> None:
        publisher(make_member, sample_rate=16000)  # the parent's clock runs
        child = os.fork() if where == "fork child" else 0
        if child != 0:
            _, status = os.waitpid(child, 0)
            assert os.waitstatus_to_exitcode(status) == 0
            return
        # A child's events come only to the clouds it made itself.
        alice = publisher(make_member, "alice", room_id=2, sample_rate=16000)
        bob = listener(make_member, "alice", user="bob", room_id=2)
        # No flush: it would route the frame itself.
        sent = alice.cloud.SendAudioFrame(audio([3] * 320, 16000)) == 0
        heard_it = sent and wait_until(lambda: len(received(bob)) == 1)
        if where == "fork child":
            os._exit(0 if heard_it else 1)
        assert heard_it


class TestConversion:
    @pytest.mark.parametrize(
        "in_rate, in_channels, out_rate, out_channels",
        [(48000, 1, 16000, 1), (16000, 1, 48000, 2), (44100, 2, 16000, 1), (32000, 2, 48000, 2)],
    )
    def test_a_sine_keeps_its_frequency_through_resampling(
        self, make_member: Callable[..., RoomRig], in_rate: int, in_channels: int, out_rate: int, out_channels: int
    ) -> None:
        alice = publisher(make_member, sample_rate=in_rate, channels=in_channels)
        bob = listener(make_member, "alice", output_sample_rate=out_rate, output_channels=out_channels)
        per_frame = in_rate // 50
        for index in range(25):  # half a second
            mono = sine(440.0, in_rate, per_frame, start=index * per_frame)
            interleaved = [value for value in mono for _ in range(in_channels)]
            assert alice.cloud.SendAudioFrame(audio(interleaved, in_rate, in_channels, pts=index * 20)) == 0
        loopback.flush()
        frames = received(bob)
        assert [f.pts for f in frames] == [index * 20 for index in range(25)]
        assert {(f.sample_rate, f.channels) for f in frames} == {(out_rate, out_channels)}
        output = [s for f in frames for s in samples_of(f.data)]
        assert len(output) == 25 * out_rate // 50 * out_channels  # no samples dropped or repeated
        left = output[::out_channels][out_rate // 50 :]  # skip the filter's start
        assert crossings(left) / 2 / (len(left) / out_rate) == pytest.approx(440, rel=0.01)
        if out_channels == 2:
            assert output[0::2] == output[1::2]
        assert max(abs(s) for s in left) == pytest.approx(10000, rel=0.05)


def heard(rig: RoomRig) -> dict[int, list[int]]:
    """The samples of each frame the rig received, per user or mixed, by pts."""
    return {
        args[-1].pts: samples_of(args[-1].data)
        for name, args in rig.handler.calls[rig._mark :]
        if name in ("OnRemoteAudioReceived", "OnRemoteMixedAudioReceived")
    }


def noise(frames: int, seed: int) -> list[list[int]]:
    """Full-scale 48 kHz noise in 20 ms frames: any sample converted twice, or a filter history
    shared wrongly, shows."""
    draw = random.Random(seed)
    return [[draw.randint(-32768, 32767) for _ in range(960)] for _ in range(frames)]


def send_all(sender: RoomRig, frames: list[list[int]], first: int = 0) -> None:
    for index, samples in enumerate(frames, first):
        assert sender.cloud.SendAudioFrame(audio(samples, pts=index * 20)) == 0


class TestSharedConversion:
    """A sender's frame is converted once per output format, and every receiver of that format
    shares the samples."""

    # user: output rate, channels, frame length, and how the audio is taken.
    RECEIVERS = {
        "bob": {"output_sample_rate": 16000},
        "carol": {"output_sample_rate": 16000, "output_frame_length_ms": 40},
        "dave": {"output_sample_rate": 16000, "mix": True},
        "erin": {"output_sample_rate": 24000, "output_channels": 2, "output_frame_length_ms": 10},
        "frank": {"output_sample_rate": 24000, "output_channels": 2},
        "grace": {"output_sample_rate": 24000},  # the rate of erin and frank, but mono
    }

    def test_every_receiver_gets_what_a_lone_receiver_of_its_format_gets(
        self, make_member: Callable[..., RoomRig]
    ) -> None:
        frames = noise(12, seed=1)  # 240 ms: whole frames of every length asked for
        together = publisher(make_member, "alice", room_id=1)
        shared = {
            user: listener(make_member, "alice", user=user, room_id=1, **obtain)
            for user, obtain in self.RECEIVERS.items()
        }
        alone = {}
        for room_id, (user, obtain) in enumerate(self.RECEIVERS.items(), 2):
            alone[user] = (
                publisher(make_member, "alice", room_id),
                listener(make_member, "alice", user=user, room_id=room_id, **obtain),
            )
        send_all(together, frames)
        for sender, _ in alone.values():
            send_all(sender, frames)
        loopback.flush()
        for user, rig in shared.items():
            expected = alone[user][1]
            assert heard(rig) == heard(expected) != {}, user
        assert {pts: s[::2] for pts, s in heard(shared["frank"]).items()} == {
            pts: s[1::2] for pts, s in heard(shared["frank"]).items()
        }

    @pytest.mark.parametrize("how", ["subscribes", "enters with that format"])
    def test_a_receiver_that_comes_mid_stream_gets_the_samples_the_others_of_its_format_get(
        self, make_member: Callable[..., RoomRig], how: str
    ) -> None:
        frames = noise(12, seed=2)
        alice = publisher(make_member)
        stereo = {"output_sample_rate": 24000, "output_channels": 2}
        bob = listener(make_member, "alice", **stereo)
        carol = make_member("carol", **stereo) if how == "subscribes" else listener(make_member, "alice", user="carol")
        send_all(alice, frames[:5])
        if how == "subscribes":
            assert carol.cloud.Subscribe("alice", AUDIO) == 0
        else:  # it heard the sender at 16 kHz mono so far
            assert carol.cloud.ExitRoom() == 0
            assert carol.cloud.EnterRoom(enter_params("carol", **stereo)) == 0
            assert carol.cloud.Subscribe("alice", AUDIO) == 0
        loopback.flush()
        carol.mark()
        send_all(alice, frames[5:], first=5)
        loopback.flush()
        late = heard(carol)
        assert sorted(late) == list(range(100, 240, 20))
        assert late == {pts: samples for pts, samples in heard(bob).items() if pts >= 100}

    def test_a_format_that_nobody_took_for_a_frame_starts_anew(self, make_member: Callable[..., RoomRig]) -> None:
        frames = noise(12, seed=3)
        alice = publisher(make_member)
        bob = listener(make_member, "alice")
        send_all(alice, frames[:3])
        assert bob.cloud.Unsubscribe("alice", AUDIO) == 0
        send_all(alice, frames[3:5], first=3)  # nobody hears these
        assert bob.cloud.Subscribe("alice", AUDIO) == 0
        loopback.flush()
        bob.mark()
        send_all(alice, frames[5:], first=5)
        fresh_sender = publisher(make_member, "alice", room_id=2)
        fresh = listener(make_member, "alice", user="bob", room_id=2)
        send_all(fresh_sender, frames[5:], first=5)
        loopback.flush()
        assert heard(bob) == heard(fresh) != {}


class TestPerSenderFrames:
    """Per-sender audio once came in the sender's frame length, whatever the receiver asked for."""

    @pytest.mark.parametrize("rate", [16000, 48000])
    @pytest.mark.parametrize("sent_ms", [10, 20])
    @pytest.mark.parametrize("wanted_ms", [10, 20, 40])
    def test_frames_have_the_asked_length_and_carry_a_sine_unbroken(
        self, make_member: Callable[..., RoomRig], rate: int, sent_ms: int, wanted_ms: int
    ) -> None:
        alice = publisher(make_member, sample_rate=rate, frame_length_ms=sent_ms)
        bob = listener(make_member, "alice", output_sample_rate=rate, output_frame_length_ms=wanted_ms)
        sent, wanted = rate * sent_ms // 1000, rate * wanted_ms // 1000
        signal = sine(441.0, rate, rate * 240 // 1000)  # 240 ms: whole frames of every length
        for start in range(0, len(signal), sent):
            frame = audio(signal[start : start + sent], rate, pts=1000 + start * 1000 // rate)
            assert alice.cloud.SendAudioFrame(frame) == 0
        loopback.flush()
        frames = received(bob)
        assert [f.size // 2 for f in frames] == [wanted] * (240 // wanted_ms)
        assert [s for f in frames for s in samples_of(f.data)] == signal  # none lost, added or moved
        assert [f.pts for f in frames] == list(range(1000, 1240, wanted_ms))
        for frame in frames:  # each pts names the sine's phase at the frame's first sample
            assert samples_of(frame.data)[0] == signal[(frame.pts - 1000) * rate // 1000]

    @pytest.mark.parametrize("wanted_ms", [10, 40])
    def test_resampled_frames_have_the_asked_length_and_no_step_at_their_edges(
        self, make_member: Callable[..., RoomRig], wanted_ms: int
    ) -> None:
        alice = publisher(make_member, sample_rate=48000, frame_length_ms=20)
        bob = listener(make_member, "alice", output_sample_rate=16000, output_frame_length_ms=wanted_ms)
        for index in range(12):
            assert alice.cloud.SendAudioFrame(audio(sine(441.0, 48000, 960, start=index * 960), pts=index * 20)) == 0
        loopback.flush()
        frames = received(bob)
        assert [f.size // 2 for f in frames] == [16 * wanted_ms] * (240 // wanted_ms)
        assert [f.pts for f in frames] == list(range(0, 240, wanted_ms))
        output = [s for f in frames for s in samples_of(f.data)][16000 // 50 :]  # past the filter's start
        steepest = 2 * math.pi * 441 * 10000 / 16000  # the sine's largest step between samples
        assert max(abs(b - a) for a, b in zip(output, output[1:])) <= 1.05 * steepest

    @pytest.mark.parametrize("stop", ["DestroyLocalAudioChannel", "Unsubscribe"])
    def test_a_stream_that_ends_hands_out_its_last_samples_in_a_shorter_frame(
        self, make_member: Callable[..., RoomRig], stop: str
    ) -> None:
        alice = publisher(make_member, sample_rate=16000, frame_length_ms=10)
        bob = listener(make_member, "alice", output_frame_length_ms=40)
        for index in range(7):
            assert alice.cloud.SendAudioFrame(audio([index] * 160, 16000, pts=index * 10)) == 0
        loopback.flush()
        assert [(f.pts, f.size // 2) for f in received(bob)] == [(0, 640)]
        if stop == "Unsubscribe":
            assert bob.cloud.Unsubscribe("alice", AUDIO) == 0
        else:
            assert alice.cloud.DestroyLocalAudioChannel() == 0
        loopback.flush()
        frames = received(bob)
        assert [(f.pts, f.size // 2) for f in frames] == [(0, 640), (40, 480)]
        assert samples_of(frames[1].data) == [4] * 160 + [5] * 160 + [6] * 160
        assert loopback.stats()[bob.handle]["audio_samples_dropped"] == 0

    def test_a_short_frame_or_a_pause_hands_out_what_waits_without_the_next_words(
        self, make_member: Callable[..., RoomRig]
    ) -> None:
        alice = publisher(make_member, sample_rate=16000)  # 20 ms frames
        bob = listener(make_member, "alice", output_frame_length_ms=40)
        for pts, count in [(0, 320), (20, 320), (40, 160)]:  # the last, 10 ms, ends what was said
            assert alice.cloud.SendAudioFrame(audio([pts] * count, 16000, pts=pts)) == 0
        loopback.flush()
        assert [(f.pts, f.size // 2) for f in received(bob)] == [(0, 640), (40, 160)]
        assert alice.cloud.SendAudioFrame(audio([1] * 320, 16000, pts=1000)) == 0
        time.sleep(0.25)  # a pause: the 20 ms waiting never share a frame with what follows it
        for pts in (2000, 2020):
            assert alice.cloud.SendAudioFrame(audio([2] * 320, 16000, pts=pts)) == 0
        loopback.flush()
        assert [(f.pts, f.size // 2) for f in received(bob)][2:] == [(1000, 320), (2000, 640)]

    def test_pts_and_voice_follow_the_frames_the_samples_come_from(self, make_member: Callable[..., RoomRig]) -> None:
        alice = publisher(make_member, sample_rate=16000, frame_length_ms=10)
        bob = listener(make_member, "alice", output_frame_length_ms=20)
        sent = [(0, False), (10, False), (20, False), (500, True), (510, False), (520, False)]  # a gap, one voiced
        for pts, voiced in sent:
            assert alice.cloud.SendAudioFrame(audio([pts] * 160, 16000, pts=pts, has_voice=voiced)) == 0
        loopback.flush()
        assert [(f.pts, f.has_voice) for f in received(bob)] == [(0, False), (20, True), (510, False)]


class TestMix:
    @pytest.mark.parametrize("a, b, mixed", [(1000, 2000, 3000), (20000, 20000, 32767), (-30000, -10000, -32768)])
    def test_mixed_frames_hold_the_saturated_sum(
        self, make_member: Callable[..., RoomRig], a: int, b: int, mixed: int
    ) -> None:
        alice = publisher(make_member, "alice", sample_rate=16000)
        carol = publisher(make_member, "carol", sample_rate=16000)
        bob = listener(make_member, "alice", "carol", mix=True)
        assert alice.cloud.SendAudioFrame(audio([a] * 320, 16000)) == 0
        loopback.flush()
        assert received(bob, "OnRemoteMixedAudioReceived") == []  # waits for carol's share
        assert carol.cloud.SendAudioFrame(audio([b] * 320, 16000)) == 0
        loopback.flush()
        (frame,) = received(bob, "OnRemoteMixedAudioReceived")
        assert samples_of(frame.data) == [mixed] * 320
        assert (frame.sample_rate, frame.channels, frame.codec) == (16000, 1, m.AUDIO_CODEC_TYPE_PCM)
        assert not [name for name, _ in bob.since() if name == "OnRemoteAudioReceived"]

    def test_mixed_frames_have_the_output_length(self, make_member: Callable[..., RoomRig]) -> None:
        alice = publisher(make_member, sample_rate=16000, frame_length_ms=10)
        bob = listener(make_member, "alice", mix=True, output_frame_length_ms=40)
        for _ in range(9):
            assert alice.cloud.SendAudioFrame(audio([7] * 160, 16000)) == 0
        loopback.flush()
        frames = received(bob, "OnRemoteMixedAudioReceived")
        assert [f.size for f in frames] == [1280, 1280]
        assert [f.pts for f in frames] == [0, 40]


class TestGetAudioFrame:
    def test_fills_frames_of_the_output_length_then_asks_to_try_again(
        self, make_member: Callable[..., RoomRig]
    ) -> None:
        alice = publisher(make_member, "alice", sample_rate=16000)
        carol = publisher(make_member, "carol", sample_rate=16000)
        bob = listener(make_member, "alice", "carol", method=m.AUDIO_OBTAIN_METHOD_GET)
        frame = m.AudioFrame()
        assert bob.cloud.GetAudioFrame(frame) == int(m.ERR_READ_TRY_AGAIN)
        for _ in range(2):
            assert alice.cloud.SendAudioFrame(audio([100] * 320, 16000)) == 0
        assert carol.cloud.SendAudioFrame(audio([-50] * 320, 16000)) == 0
        results = []
        for _ in range(3):
            results.append(bob.cloud.GetAudioFrame(frame))
            if results[-1] == 0:
                assert frame.size == 640 and frame.sample_rate == 16000
        assert results == [0, 0, int(m.ERR_READ_TRY_AGAIN)]
        assert samples_of(frame.data) == [100] * 320  # carol had nothing left: silence from her
        loopback.flush()
        assert bob.since() == []  # nothing is raised with the get method

    @pytest.mark.parametrize("where", ["outside a room", "in callback mode", "after leaving"])
    def test_is_refused_without_pull_mode_and_leaves_the_frame_alone(
        self, make_member: Callable[..., RoomRig], cloud: Any, where: str
    ) -> None:
        alice = publisher(make_member, sample_rate=16000)
        bob = listener(
            make_member,
            "alice",
            method=m.AUDIO_OBTAIN_METHOD_CALLBACK if where == "in callback mode" else m.AUDIO_OBTAIN_METHOD_GET,
        )
        assert alice.cloud.SendAudioFrame(audio([5] * 640, 16000)) == 0
        if where == "after leaving":
            assert bob.cloud.ExitRoom() == 0
        taker = cloud.cloud if where == "outside a room" else bob.cloud
        frame = audio([1, 2, 3], 8000, 2, pts=17, has_voice=True)
        before = plain(frame)
        assert taker.GetAudioFrame(frame) == TRY_AGAIN
        assert plain(frame) == before

    def test_null_frame_is_an_invalid_parameter(self, make_member: Callable[..., RoomRig]) -> None:
        bob = make_member("bob", method=m.AUDIO_OBTAIN_METHOD_GET)
        assert bob.cloud.GetAudioFrame(None) == INVALID_PARAMETER

    def test_buffer_is_bounded_and_drops_the_oldest(
        self, make_member: Callable[..., RoomRig], loopback_config: Any
    ) -> None:
        loopback_config(audio_buffer_ms=100)
        alice = publisher(make_member, sample_rate=16000)
        bob = listener(make_member, "alice", method=m.AUDIO_OBTAIN_METHOD_GET)
        for value in range(10):  # 200 ms of audio, 20 ms per value
            assert alice.cloud.SendAudioFrame(audio([value] * 320, 16000)) == 0
        frame = m.AudioFrame()
        kept = []
        while bob.cloud.GetAudioFrame(frame) == 0:
            kept.append(samples_of(frame.data)[0])
        assert kept == [5, 6, 7, 8, 9]
        assert loopback.stats()[bob.handle]["audio_samples_dropped"] == 5 * 320

    def test_audio_not_taken_when_its_sender_stops_is_counted(self, make_member: Callable[..., RoomRig]) -> None:
        alice = publisher(make_member, sample_rate=16000)
        bob = listener(make_member, "alice", method=m.AUDIO_OBTAIN_METHOD_GET, output_channels=2)
        for _ in range(3):
            assert alice.cloud.SendAudioFrame(audio([9] * 320, 16000)) == 0
        assert bob.cloud.GetAudioFrame(m.AudioFrame()) == 0
        assert alice.cloud.DestroyLocalAudioChannel() == 0
        assert loopback.stats()[bob.handle]["audio_samples_dropped"] == 2 * 320  # per channel


class TestContinuousAudio:
    def test_frames_are_sent_at_real_time_pace(self, make_member: Callable[..., RoomRig]) -> None:
        alice = publisher(make_member, sample_rate=16000)
        bob = listener(make_member, "alice")
        arrivals: list[float] = []
        done = threading.Event()
        original = bob.handler.record

        def record(name: str, args: tuple[Any, ...]) -> None:
            if name == "OnRemoteAudioReceived":
                arrivals.append(time.monotonic())
                if len(arrivals) == 10:
                    done.set()
            original(name, args)

        bob.handler.record = record  # type: ignore[method-assign]
        start = time.monotonic()
        for index in range(10):
            assert alice.cloud.SendContinuousAudioFrame(audio([index] * 320, 16000), False) == 0
        assert time.monotonic() - start < 0.1  # queued, not sent inline
        assert done.wait(5)
        # Nine frame durations apart at least (the pace); the upper bound only guards against stalls.
        assert 0.15 <= arrivals[-1] - arrivals[0] < 1.0
        assert [samples_of(f.data)[0] for f in received(bob)] == list(range(10))

    def test_clearing_the_queue_drops_what_waits(self, make_member: Callable[..., RoomRig]) -> None:
        alice = publisher(make_member, sample_rate=16000)
        bob = listener(make_member, "alice")
        for index in range(50):  # a second of audio
            assert alice.cloud.SendContinuousAudioFrame(audio([1] * 320, 16000), False) == 0
        assert alice.cloud.SendContinuousAudioFrame(audio([2] * 320, 16000), True) == 0
        deadline = time.monotonic() + 5
        while loopback.state()[alice.handle]["paced_audio_frames"] and time.monotonic() < deadline:
            time.sleep(0.01)
        loopback.flush()
        values = [samples_of(f.data)[0] for f in received(bob)]
        assert values[-1] == 2 and len(values) < 10

    def test_a_full_queue_refuses_frames_and_every_frame_is_sent_or_counted(
        self, make_member: Callable[..., RoomRig]
    ) -> None:
        """A full queue once dropped its oldest frames while every call returned ERR_OK."""
        alice = publisher(make_member, sample_rate=16000)
        bob = listener(make_member, "alice")
        results = [alice.cloud.SendContinuousAudioFrame(audio([1] * 320, 16000), False) for _ in range(600)]
        accepted, refused = results.count(0), results.count(TRY_AGAIN)
        assert results[:500] == [0] * 500 and accepted + refused == 600
        assert refused >= 80  # 12 s of audio offered at once; the queue holds 10 s
        assert loopback.stats()[alice.handle]["paced_audio_refused"] == refused
        assert alice.cloud.SendContinuousAudioFrame(audio([2] * 320, 16000), True) == 0  # clearing still works
        assert wait_until(lambda: loopback.state()[alice.handle]["paced_audio_frames"] == 0)
        loopback.flush()
        counted = loopback.stats()[alice.handle]
        assert len(received(bob)) + counted["paced_audio_cleared"] == accepted + 1
        assert counted["paced_audio_refused"] == refused


class TestVoiceActivity:
    @pytest.mark.parametrize(
        "enabled, amplitude, claimed, expected",
        [(True, 10000, False, True), (True, 50, True, False), (False, 50, True, True), (False, 10000, False, False)],
    )
    def test_level_decides_voice_while_enabled(
        self, make_member: Callable[..., RoomRig], enabled: bool, amplitude: int, claimed: bool, expected: bool
    ) -> None:
        alice = publisher(make_member, sample_rate=16000)
        bob = listener(make_member, "alice")
        vad = m.VADParams()
        vad.enable = enabled
        alice.cloud.EnableVoiceActivityDetection(vad)
        assert (
            alice.cloud.SendAudioFrame(audio(sine(300, 16000, 320, amplitude=amplitude), 16000, has_voice=claimed)) == 0
        )
        loopback.flush()
        (frame,) = received(bob)
        assert frame.has_voice is expected


class TestMixLifecycle:
    """A sender that stops, leaves or is unsubscribed leaves the mix at once: what the others sent
    meanwhile comes out without waiting for it, and what it had sent but not mixed is dropped."""

    @pytest.mark.parametrize("stop", ["DestroyLocalAudioChannel", "ExitRoom", "Unsubscribe"])
    def test_a_sender_that_stops_is_dropped_from_the_mix_at_once(
        self, make_member: Callable[..., RoomRig], stop: str
    ) -> None:
        alice = publisher(make_member, "alice", sample_rate=16000)
        carol = publisher(make_member, "carol", sample_rate=16000)
        bob = listener(make_member, "alice", "carol", mix=True)
        for _ in range(2):
            assert alice.cloud.SendAudioFrame(audio([10] * 320, 16000)) == 0
        assert carol.cloud.SendAudioFrame(audio([1000] * 480, 16000)) == 0  # a frame and a half
        loopback.flush()
        assert [samples_of(f.data) for f in received(bob, "OnRemoteMixedAudioReceived")] == [[1010] * 320]
        if stop == "Unsubscribe":
            assert bob.cloud.Unsubscribe("carol", AUDIO) == 0
        else:
            assert getattr(carol.cloud, stop)() == 0
        loopback.flush()
        frames = received(bob, "OnRemoteMixedAudioReceived")
        # alice's waiting frame comes out at once, and none of carol's half frame is in it.
        assert [(f.pts, samples_of(f.data)) for f in frames] == [(0, [1010] * 320), (20, [10] * 320)]
        assert loopback.stats()[bob.handle]["audio_samples_dropped"] == 160
        assert alice.cloud.SendAudioFrame(audio([20] * 320, 16000)) == 0  # no longer waits for carol
        loopback.flush()
        assert [(f.pts, samples_of(f.data)) for f in received(bob, "OnRemoteMixedAudioReceived")][2:] == [
            (40, [20] * 320)
        ]

    def test_a_sender_that_comes_back_is_mixed_from_its_new_audio_only(
        self, make_member: Callable[..., RoomRig]
    ) -> None:
        alice = publisher(make_member, "alice", sample_rate=16000)
        carol = publisher(make_member, "carol", sample_rate=16000)
        bob = listener(make_member, "alice", "carol", method=m.AUDIO_OBTAIN_METHOD_GET)
        assert carol.cloud.SendAudioFrame(audio([1000] * 640, 16000)) == 0
        assert bob.cloud.Unsubscribe("carol", AUDIO) == 0
        assert bob.cloud.Subscribe("carol", AUDIO) == 0
        assert alice.cloud.SendAudioFrame(audio([10] * 320, 16000)) == 0
        assert carol.cloud.SendAudioFrame(audio([2000] * 320, 16000)) == 0
        frame = m.AudioFrame()
        taken = []
        while bob.cloud.GetAudioFrame(frame) == 0:
            taken.append(samples_of(frame.data))
        assert taken == [[2010] * 320]
        assert loopback.stats()[bob.handle]["audio_samples_dropped"] == 640


class TestGetAudioFrameFields:
    @pytest.mark.parametrize("rate, channels, length_ms", [(16000, 1, 20), (48000, 2, 10), (8000, 2, 40)])
    def test_every_field_of_a_pulled_frame_describes_it(
        self, make_member: Callable[..., RoomRig], rate: int, channels: int, length_ms: int
    ) -> None:
        alice = publisher(make_member, sample_rate=16000)
        bob = listener(
            make_member,
            "alice",
            method=m.AUDIO_OBTAIN_METHOD_GET,
            output_sample_rate=rate,
            output_channels=channels,
            output_frame_length_ms=length_ms,
        )
        # 120 ms of speech then 120 ms of silence, at the sender's own rate.
        assert alice.cloud.SendAudioFrame(audio(sine(300, 16000, 1920, amplitude=10000), 16000)) == 0
        assert alice.cloud.SendAudioFrame(audio([0] * 1920, 16000)) == 0
        frames = []
        while True:
            frame = m.AudioFrame()
            frame.pts, frame.has_voice, frame.codec = 99, True, m.AUDIO_CODEC_TYPE_OPUS  # all overwritten
            if bob.cloud.GetAudioFrame(frame) != 0:
                break
            frames.append(frame)
        count = 240 // length_ms
        assert len(frames) >= count - 1  # the converter may hold back a few samples
        assert [f.pts for f in frames] == [index * length_ms for index in range(len(frames))]
        assert {(f.sample_rate, f.channels, f.bits_per_sample, f.codec) for f in frames} == {
            (rate, channels, 16, m.AUDIO_CODEC_TYPE_PCM)
        }
        assert {f.size for f in frames} == {rate * length_ms // 1000 * channels * 2}
        voiced = [f.has_voice for f in frames]
        assert voiced[1] is True and voiced[-1] is False
