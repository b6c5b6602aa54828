"""The loopback control module itself: listing clouds, raising events, waiting, journal, injection."""

import gc
import threading
from typing import Any

import pytest

import mirelo.delegate
from conftest import CloudRig, RecordingHandler, audio_frame, pixel_frame, user_info, video_frame, wait_until
from mirelo import _mirelo, loopback


class BlockingHandler(RecordingHandler):
    """OnError blocks until released, holding up the cloud's event thread (not the interpreter lock)."""

    def __init__(self) -> None:
        super().__init__()
        self.entered = threading.Event()
        self.release = threading.Event()

    def OnError(self, error: Any) -> None:
        self.entered.set()
        self.release.wait(10)
        self.record("OnError", (error,))


class TestClouds:
    def test_lists_live_clouds_in_creation_order_and_drops_destroyed_ones(self, make_cloud: Any) -> None:
        rigs = [make_cloud() for _ in range(3)]
        handles = [rig.handle for rig in rigs]
        assert handles == sorted(handles)
        assert loopback.clouds()[-3:] == handles
        rigs[1].close()
        assert handles[1] not in loopback.clouds()
        assert [h for h in loopback.clouds() if h in handles] == [handles[0], handles[2]]

    def test_cloud_without_delegate_discards_its_events(self, fresh_loopback: Any) -> None:
        cloud = _mirelo.QOLTCloud(None)
        handle = loopback.clouds()[-1]
        loopback.emit(handle, "OnEnterRoom")
        assert loopback.stats()[handle]["discarded"] == 1
        assert loopback.journal()[-1] == (handle, "Create", (True,))
        del cloud
        gc.collect()
        assert loopback.journal()[-1] == (handle, "Destroy", ())


class TestEmitValidation:
    @pytest.mark.parametrize(
        "operation, args",
        [
            ("OnEnterRoom", (1,)),
            ("OnError", ()),
            ("OnError", ("x",)),
            ("OnError", (1.0,)),
            ("OnError", (True,)),
            ("OnRemoteAudioAvailable", ("u", 1)),
            ("OnRemoteAudioAvailable", (5, True)),
            ("OnRemoteAudioReceived", ("u", b"pcm")),
            ("OnRemoteAudioReceived", ("u", video_frame())),
            ("OnRemoteAudioReceived", ("u", _mirelo.AudioFrame.__new__(_mirelo.AudioFrame))),
            ("OnRemoteVideoReceived", ("u", 2, audio_frame())),
            ("OnSeiMessageReceived", ("u", 2, 1, "text")),
            ("OnNetworkQuality", (("u",), [])),
            ("OnNetworkQuality", (None, ("u", 1))),
            ("OnNetworkQuality", (None, [("u", 1, 2)])),
            ("OnRemoteUserEnterRoom", (42,)),
        ],
    )
    def test_wrong_arity_or_types_raise_type_error_and_raise_nothing(
        self, cloud: CloudRig, operation: str, args: tuple[Any, ...]
    ) -> None:
        with pytest.raises(TypeError):
            loopback.emit(cloud.handle, operation, *args)
        loopback.flush()
        assert cloud.handler.calls == []

    @pytest.mark.parametrize(
        "operation, args",
        [
            ("OnError", (2**31,)),
            ("OnReceiveCustomCmdMsg", ("u", 1, -1, b"")),
            ("OnMissCustomCmdMsg", ("u", 1, 0, 2**32)),
            ("OnRemoteAudioAvailable", ("a\x00b", True)),
            ("OnRemoteUserEnterRoom", ("\ud800",)),  # no UTF-8 for a lone surrogate
        ],
    )
    def test_values_outside_the_native_type_raise_value_error(
        self, cloud: CloudRig, operation: str, args: tuple[Any, ...]
    ) -> None:
        with pytest.raises(ValueError):
            loopback.emit(cloud.handle, operation, *args)
        loopback.flush()
        assert cloud.handler.calls == []

    def test_unknown_operation_or_handle_raise_value_error(self, cloud: CloudRig) -> None:
        with pytest.raises(ValueError):
            loopback.emit(cloud.handle, "OnNoSuchEvent")
        with pytest.raises(ValueError):
            loopback.emit(max(loopback.clouds()) + 1000, "OnEnterRoom")
        with pytest.raises(TypeError):
            loopback.emit(str(cloud.handle), "OnEnterRoom")

    def test_accepts_every_argument_form(self, cloud: CloudRig) -> None:
        forms: list[tuple[str, tuple[Any, ...]]] = [
            ("OnError", (_mirelo.ERR_FAILED,)),
            ("OnError", (-123456,)),
            ("OnRemoteUserEnterRoom", (user_info("alice"),)),
            ("OnRemoteUserEnterRoom", (b"\xff\xfe",)),
            ("OnRemoteAudioAvailable", (None, False)),
            ("OnRemoteVideoReceived", ("v", _mirelo.STREAM_TYPE_VIDEO_AUX, video_frame())),
            ("OnRemoteVideoReceived", ("p", 3, pixel_frame())),
            ("OnRemoteAudioReceived", ("a", audio_frame())),
            ("OnReceiveCustomCmdMsg", ("c", -7, 2**32 - 1, b"a\x00b")),
            ("OnNetworkQuality", (("me", 1), [("x", 2), (b"y", _mirelo.NETWORK_QUALITY_BAD)])),
            ("OnUserVoiceVolume", ([("x", 10)], 10)),
            ("OnReceiveAsrMessage", ("x", "text")),
            ("OnAsrServiceError", (-1, None)),
        ]
        for operation, args in forms:
            loopback.emit(cloud.handle, operation, *args)
        assert len(cloud.handler.calls) == 10  # the last three slots never reach Python
        assert cloud.failures() == []


class TestEmitDelivery:
    def test_returns_after_the_handler_ran_on_the_cloud_thread(self, cloud: CloudRig) -> None:
        loopback.emit(cloud.handle, "OnEnterRoom")
        assert cloud.handler.names() == ["OnEnterRoom"]
        assert threading.get_ident() not in cloud.handler.threads

    def test_from_a_handler_queues_without_waiting_for_itself(self, make_cloud: Any) -> None:
        class Relay(RecordingHandler):
            handle = 0

            def OnEnterRoom(self) -> None:
                loopback.emit(self.handle, "OnExitRoom", timeout=0)
                self.record("OnEnterRoom", ())

        rig = make_cloud(Relay())
        rig.handler.handle = rig.handle
        loopback.emit(rig.handle, "OnEnterRoom")
        loopback.flush()
        assert rig.handler.names() == ["OnEnterRoom", "OnExitRoom"]

    def test_times_out_while_the_handler_is_busy(self, make_cloud: Any) -> None:
        rig = make_cloud(BlockingHandler())
        worker = threading.Thread(target=loopback.emit, args=(rig.handle, "OnError", 0), daemon=True)
        worker.start()
        assert rig.handler.entered.wait(5)
        try:
            with pytest.raises(TimeoutError):
                loopback.emit(rig.handle, "OnEnterRoom", timeout=0.1)
            with pytest.raises(TimeoutError):
                loopback.flush(timeout=0.1)
        finally:
            rig.handler.release.set()
        worker.join(5)
        loopback.flush()
        assert rig.handler.names() == ["OnError", "OnEnterRoom"]

    def test_a_waiter_whose_event_is_cancelled_by_destroy_returns_once_the_event_in_flight_ends(
        self, fresh_loopback: Any
    ) -> None:
        rig = CloudRig(BlockingHandler())
        with pytest.raises(TimeoutError):  # nobody waits for the event in flight
            loopback.emit(rig.handle, "OnError", 0, timeout=0)
        assert rig.handler.entered.wait(5)
        waiter = threading.Thread(
            target=loopback.emit, args=(rig.handle, "OnEnterRoom"), kwargs={"timeout": 60}, daemon=True
        )
        waiter.start()
        assert wait_until(lambda: loopback.stats()[rig.handle]["queued"] == 1)
        destroyer = threading.Thread(target=rig.close)  # cancels OnEnterRoom, then waits for OnError
        destroyer.start()
        assert wait_until(lambda: rig.handle not in loopback.clouds())
        rig.handler.release.set()
        for thread in (destroyer, waiter):
            thread.join(timeout=30)  # a lost wake-up would hold the waiter for its whole 60 s
        assert not destroyer.is_alive() and not waiter.is_alive()
        assert rig.handler.names() == ["OnError"]

    def test_handler_that_drops_its_own_cloud_ends_its_thread_cleanly(self, fresh_loopback: Any) -> None:
        class SelfDestroying(RecordingHandler):
            rig: Any = None

            def OnEnterRoom(self) -> None:
                self.record("OnEnterRoom", ())
                self.rig.cloud = None  # the last reference: Destroy runs on this very thread

        handler = SelfDestroying()
        rig = CloudRig(handler)
        handler.rig = rig
        loopback.emit(rig.handle, "OnEnterRoom")
        loopback.flush()
        assert rig.handle not in loopback.clouds()
        assert handler.names() == ["OnEnterRoom"]
        with pytest.raises(ValueError):
            loopback.emit(rig.handle, "OnEnterRoom")


class TestFailures:
    def test_records_handler_exceptions_and_keeps_delivering(self, make_cloud: Any) -> None:
        class Failing(RecordingHandler):
            def OnError(self, error: Any) -> None:
                raise ValueError(f"bad {int(error)}")

        rig = make_cloud(Failing())
        loopback.emit(rig.handle, "OnError", -1)
        loopback.emit(rig.handle, "OnEnterRoom")
        ((operation, text),) = rig.failures()
        assert operation == "OnError"
        assert text.startswith("ValueError: bad -1")
        assert rig.handler.names() == ["OnEnterRoom"]

    def test_missing_required_method_is_recorded_with_its_text(self, make_cloud: Any) -> None:
        rig = make_cloud(_mirelo.QOLTCloudDelegate())
        loopback.emit(rig.handle, "OnRemoteVideoReceived", "u", 2, pixel_frame())
        assert rig.failures() == [
            (
                "OnRemoteVideoReceived",
                'Tried to call pure virtual function "QOLTCloudDelegate::OnRemotePixelFrameReceived"',
            )
        ]

    def test_a_long_text_keeps_its_head_whole_characters_and_a_marker(self, make_cloud: Any) -> None:
        class Failing(RecordingHandler):
            def OnError(self, error: Any) -> None:
                raise ValueError("é" * 5000)  # two bytes each: a cut at the byte bound splits one

        rig = make_cloud(Failing())
        loopback.emit(rig.handle, "OnError", -1)
        ((_, text),) = rig.failures()
        head, marker, rest = text.partition("\n[... cut: ")
        assert head.startswith("ValueError: éé") and "\ufffd" not in head
        assert len(text.encode()) <= 4096 and rest.endswith(" more bytes]")
        assert len(head.encode()) + int(rest.split()[0]) >= len(f"ValueError: {'é' * 5000}".encode())  # and the frames
        assert loopback.retention()["failures"] == {
            "entries": 1,
            "bytes": len(text.encode()) + 7,
            "dropped": 0,
            "cut": 1,
        }

    def test_reset_empties_journal_and_failures_and_their_counts(self, make_cloud: Any, loopback_config: Any) -> None:
        loopback_config(journal_entries=1)
        rig = make_cloud(_mirelo.QOLTCloudDelegate())
        loopback.emit(rig.handle, "OnEnterRoom")
        rig.cloud.ExitRoom()
        assert loopback.failures() and loopback.journal()
        assert loopback.retention()["journal"]["dropped"] >= 1
        loopback.reset()
        assert loopback.failures() == [] and loopback.journal() == []
        assert loopback.retention() == {
            "journal": {"entries": 0, "payload_bytes": 0, "dropped": 0},
            "failures": {"entries": 0, "bytes": 0, "dropped": 0, "cut": 0},
        }


class TestJournal:
    @pytest.mark.parametrize("payloads", [True, False], ids=["frame-payloads", "frame-sizes"])
    def test_records_calls_with_plain_arguments(self, cloud: CloudRig, loopback_config: Any, payloads: bool) -> None:
        loopback_config(journal_frame_payloads=payloads)
        frame = audio_frame(b"\x01\x02")
        frame.SetExtraData(b"extra")
        cloud.cloud.SendAudioFrame(frame)
        cloud.cloud.Subscribe("bob", _mirelo.STREAM_TYPE_AUDIO)
        cloud.cloud.SendSeiMessage(5, b"\x00sei")
        _mirelo.SetSocks5Proxy("host", 1080, None, "pw")
        assert cloud.journal()[-3:] == [
            (
                "SendAudioFrame",
                (
                    {
                        "pts": 4294967295,
                        "sample_rate": 48000,
                        "channels": 2,
                        "bits_per_sample": 16,
                        "codec": 1,
                        "has_voice": True,
                        "data": b"\x01\x02" if payloads else None,
                        "size": 2,
                        "extra_data": b"extra" if payloads else None,
                        "extra_data_size": 5,
                    },
                ),
            ),
            ("Subscribe", (b"bob", 1)),
            ("SendSeiMessage", (5, b"\x00sei")),
        ]
        assert loopback.journal()[-1] == (0, "SetSocks5Proxy", (b"host", 1080, None, True))

    def test_keeps_only_the_newest_entries(self, cloud: CloudRig, loopback_config: Any) -> None:
        loopback_config(journal_entries=3)
        for stream_type in (1, 2, 3, 7):
            cloud.cloud.CreateLocalVideoChannel(_mirelo.StreamType(stream_type))
        assert [args for _, op, args in loopback.journal()] == [(2,), (3,), (7,)]
        assert loopback.retention()["journal"]["dropped"] == 2  # the cloud's Create and the first call

    @pytest.mark.parametrize("payloads", [True, False], ids=["frame-payloads", "frame-sizes"])
    def test_frames_keep_their_payloads_only_when_asked(
        self, make_member: Any, loopback_config: Any, payloads: bool
    ) -> None:
        loopback_config(journal_frame_payloads=payloads)
        alice = make_member("alice")
        params = _mirelo.AudioEncodeParams()
        params.sample_rate = 16000
        assert alice.cloud.CreateLocalAudioChannel(params) == 0
        for kind in (_mirelo.STREAM_TYPE_VIDEO_HIGH, _mirelo.STREAM_TYPE_VIDEO_LOW):
            assert alice.cloud.CreateLocalVideoChannel(kind) == 0
        sent = {
            "SendAudioFrame": bytes(range(64)) * 10,
            "SendContinuousAudioFrame": bytes(640),
            "SendVideoFrame": video_frame().data,
            "SendPixelFrame": pixel_frame().data,
        }
        texts = loopback.retention()["journal"]["payload_bytes"]  # the user's id, say
        audio = audio_frame(sent["SendAudioFrame"])
        audio.sample_rate, audio.channels, audio.codec = 16000, 1, _mirelo.AUDIO_CODEC_TYPE_PCM
        assert alice.cloud.SendAudioFrame(audio) == 0
        audio.SetData(sent["SendContinuousAudioFrame"])
        assert alice.cloud.SendContinuousAudioFrame(audio, False) == 0
        assert alice.cloud.SendVideoFrame(_mirelo.STREAM_TYPE_VIDEO_HIGH, video_frame()) == 0
        assert alice.cloud.SendPixelFrame(_mirelo.STREAM_TYPE_VIDEO_LOW, pixel_frame()) == 0
        frames = [arg for op, args in alice.journal() if op.startswith("Send") for arg in args if isinstance(arg, dict)]
        assert [(f["data"], f["size"]) for f in frames] == [
            (data if payloads else None, len(data)) for data in sent.values()
        ]
        kept = sum(map(len, sent.values())) if payloads else 0
        assert loopback.retention()["journal"]["payload_bytes"] == texts + kept

    def test_keeps_bounded_payload(self, cloud: CloudRig, loopback_config: Any) -> None:
        loopback_config(journal_payload_bytes=2500)
        for marker in b"abcd":
            cloud.cloud.SendSeiMessage(1, bytes([marker]) * 1000)
        assert [args[1][:1] for _, _, args in loopback.journal()] == [b"c", b"d"]
        assert loopback.retention()["journal"] == {"entries": 2, "payload_bytes": 2000, "dropped": 3}  # Create, a, b


class TestInject:
    @pytest.mark.parametrize(
        "operation, call",
        [
            ("EnterRoom", lambda c: c.EnterRoom(_mirelo.EnterRoomParams())),
            ("ExitRoom", lambda c: c.ExitRoom()),
            ("Subscribe", lambda c: c.Subscribe("u", _mirelo.STREAM_TYPE_AUDIO)),
            ("GetAudioFrame", lambda c: c.GetAudioFrame(_mirelo.AudioFrame())),
            ("SendVideoFrame", lambda c: c.SendPixelFrame(_mirelo.STREAM_TYPE_VIDEO_HIGH, pixel_frame())),
            ("SendSeiMessage", lambda c: c.SendSeiMessage(1, b"x")),
        ],
    )
    def test_next_calls_return_the_injected_result(self, cloud: CloudRig, operation: str, call: Any) -> None:
        loopback.inject(cloud.handle, operation, -100013, count=2)
        loopback.inject(cloud.handle, operation, 7)
        results = [call(cloud.cloud) for _ in range(3)]
        assert results == [-100013, -100013, 7]
        assert [op for op, _ in cloud.journal()].count(operation) == 3

    def test_custom_message_result_is_a_bool(self, cloud: CloudRig) -> None:
        loopback.inject(cloud.handle, "SendCustomCmdMsg", False)
        loopback.inject(cloud.handle, "SendCustomCmdMsg", True)
        assert [cloud.cloud.SendCustomCmdMsg(1, b"x", True, True) for _ in range(2)] == [0, 1]
        with pytest.raises(TypeError):
            loopback.inject(cloud.handle, "SendCustomCmdMsg", "no")

    @pytest.mark.parametrize("operation", ["SetVideoEncodeParam", "OnError", "Create"])
    def test_operations_without_a_result_are_refused(self, cloud: CloudRig, operation: str) -> None:
        with pytest.raises(ValueError):
            loopback.inject(cloud.handle, operation, 0)

    def test_unknown_handle_is_refused(self, fresh_loopback: Any) -> None:
        with pytest.raises(ValueError):
            loopback.inject(max(loopback.clouds(), default=0) + 1000, "ExitRoom", 0)


def test_stats_count_raised_and_delivered(cloud: CloudRig) -> None:
    for _ in range(3):
        loopback.emit(cloud.handle, "OnEnterRoom")
    assert loopback.stats()[cloud.handle] == {
        "raised": 3,
        "delivered": 3,
        "dropped": 0,
        "discarded": 0,
        "queued": 0,
        "paced_audio_refused": 0,
        "paced_audio_cleared": 0,
        "audio_samples_dropped": 0,
        "coalesced": 0,
        "dropped_by_event": {},
        "coalesced_by_event": {},
    }


class TestHelpers:
    @pytest.mark.parametrize("by", ["cloud", "delegate", "user id"])
    def test_handle_of_finds_a_cloud_by_its_object_delegate_or_user_id(self, make_member: Any, by: str) -> None:
        make_member("someone else")
        rig = make_member("ann")
        target = {"cloud": rig.cloud, "delegate": rig.handler, "user id": "ann"}[by]
        assert loopback.handle_of(target) == rig.handle

    def test_handle_of_refuses_what_names_no_single_cloud(self, make_cloud: Any) -> None:
        shared = RecordingHandler()
        make_cloud(shared), make_cloud(shared)
        orphan = _mirelo.QOLTCloud(None)
        for ambiguous_or_unknown in (shared, orphan, "nobody"):
            with pytest.raises(ValueError, match="live clouds for"):
                loopback.handle_of(ambiguous_or_unknown)
        with pytest.raises(TypeError):
            loopback.handle_of(1)  # type: ignore[arg-type]
        del orphan

    def test_every_handler_method_can_be_emitted_by_its_own_name(self) -> None:
        assert set(mirelo.delegate.EVENTS) <= set(loopback.EVENTS)

    @pytest.mark.parametrize(
        "name, frame, refused",
        [
            ("OnRemoteVideoFrameReceived", video_frame, pixel_frame),
            ("OnRemotePixelFrameReceived", pixel_frame, video_frame),
        ],
    )
    def test_emit_by_a_handler_name_takes_that_frame_form_only(
        self, cloud: CloudRig, name: str, frame: Any, refused: Any
    ) -> None:
        with pytest.raises(TypeError):
            loopback.emit(cloud.handle, name, "u", 2, refused())
        loopback.emit(cloud.handle, name, "u", 2, frame())
        assert cloud.handler.names() == [name]
        assert loopback.stats()[cloud.handle]["delivered"] == 1

    def test_events_emitted_from_a_handler_keep_their_own_copy_of_the_arguments(self, make_cloud: Any) -> None:
        class Relay(RecordingHandler):
            handle = 0

            def OnEnterRoom(self) -> None:
                frame = audio_frame()
                info = user_info("alice")
                loopback.emit(self.handle, "OnRemoteAudioReceived", "a", frame)  # queued: returns at once
                loopback.emit(self.handle, "OnRemoteUserEnterRoom", info)
                frame.SetData(b"changed")
                info.user_id.SetValue("mallory")

        rig = make_cloud(Relay())
        rig.handler.handle = rig.handle
        loopback.emit(rig.handle, "OnEnterRoom")
        loopback.flush()
        (_, (_, frame)), (_, (info,)) = rig.handler.calls
        assert (frame.data, info.user_id.GetValue()) == (audio_frame().data, "alice")

    def test_fail_next_cloud_fails_every_call_of_that_cloud_only(self, make_cloud: Any) -> None:
        loopback.fail_next_cloud(_mirelo.ERR_FAILED)
        failing, healthy = make_cloud(), make_cloud()
        assert failing.cloud.ExitRoom() == _mirelo.ERR_FAILED
        assert failing.cloud.CreateLocalAudioChannel(_mirelo.AudioEncodeParams()) == _mirelo.ERR_FAILED
        assert failing.cloud.SendCustomCmdMsg(1, b"x", True, True) == 0
        assert healthy.cloud.CreateLocalAudioChannel(_mirelo.AudioEncodeParams()) != _mirelo.ERR_FAILED
        assert [op for op, _ in failing.journal()][-2:] == ["CreateLocalAudioChannel", "SendCustomCmdMsg"]
        loopback.fail_next_cloud(_mirelo.ERR_FAILED)
        loopback.reset()  # disarmed: a test's leftover never fails the next test's cloud
        assert make_cloud().cloud.ExitRoom() != _mirelo.ERR_FAILED

    def test_reset_restores_the_default_configuration_only_when_asked(self, loopback_config: Any) -> None:
        defaults = {name: default for name, (_, _, default) in loopback.limits()["configure"].items()}
        loopback_config(journal_entries=5, custom_message_loss=0.5)
        loopback.reset()
        assert loopback.configuration()["journal_entries"] == 5
        loopback.reset(configuration=True)
        assert loopback.configuration() == defaults
