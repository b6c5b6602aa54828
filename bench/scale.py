"""Many rooms in one process: audio delivered, its latency and cost, and how late Python threads run.

Audio cases: ROOMS rooms of MEMBERS clouds each. Every cloud publishes 20 ms frames of 48 kHz mono
PCM and subscribes to the others' audio, taken at 16 kHz mono in per-user 20 ms frames through
OnRemoteAudioReceived (no mixing); the handler copies `frame.data` into a list, as a recording bot
would. Two pacings:

- `python`: one Python thread sends every sender's frame with SendAudioFrame each 20 ms tick, on
  absolute deadlines (a late tick is caught up, as a bot keeping real time would);
- `clock`: before anyone subscribes, every sender hands SendContinuousAudioFrame as many frames as
  its queue holds (less PACED_SPARE_FRAMES, about 10 s), which covers a default run's warm-up and
  window when the set-up is quick, so that the loopback's clock alone paces the audio out. A Python
  thread looks every TOP_UP_SECONDS and refills a queue with less than REFILL_BELOW_SECONDS left,
  REFILL_FRAMES_PER_PASS_SECONDS at a time (long set-ups and windows only).

Latency is measured from when each frame was due. A sender stamps frame k with pts = 20 k ms. The
loopback converts each 20 ms frame at 48 kHz into exactly one 20 ms frame at 16 kHz, and a per-user
frame keeps the pts of the sent frame holding its first sample, so the delivered frame with pts p
is sent frame k = p // 20. Frame k was due at the pacer's origin plus 20 k ms: the Python pacer's
start (`python`), or the sender's first SendContinuousAudioFrame, where the loopback's pacer starts
(`clock`). A frame delivered later than that was late for a listener, whether the sender's thread
or the loopback held it up. Frames whose pts names no frame due are counted as unmatched. With
`clock`, the audio is handed over before anyone subscribes, so that no handler slows the hand-over
down, and the feeder runs from then on. A queue that the feeder finds with every frame already due
ran dry (or the loopback's pacer fell behind): as the loopback's pacer restarts an empty queue with
the next frame handed over, that frame is due when handed over and the next ones 20 ms apart, so
the feeder's own delay is not counted as latency; such senders are counted, and the table says
where, since their audio had gaps.

Each case runs in a fresh subprocess (no thread or state of one case reaches the next) with a hard
timeout, and the designs interleave case by case. After WARMUP_SECONDS of load the window opens
for MEASURE_SECONDS; only what happens inside it counts:

- delivered share: milliseconds of audio the handlers got in the window over the milliseconds due
  (window length x streams, a stream being one sender heard by one receiver); with a backlog
  older audio counts when it arrives, as a listener would hear it;
- delivered frames/s; CPU per delivered frame: the process's user + system time (os.times) in the
  window over the frames delivered in it (with `clock`, the hand-over calls made before the window
  are not in it);
- latency p50 and p99 of the frames delivered in the window;
- threads: the most entries of /proc/self/task seen during the window;
- sleep lateness: a Python thread sleeps 5 ms in a loop; p99 of (time slept - 5 ms);
- dropped: media events the loopback dropped for load in the window (its statistics).

A case that collapses still reports what it saw: its window ends as soon as the main thread runs
again after MEASURE_SECONDS (rates use the window's real length), the load stops, handlers stop
recording, and the process exits without tearing its clouds down.

Event case: EVENT_CLOUDS clouds in rooms of two; one Python thread sends EVENTS_PER_SECOND custom
messages in all, round robin over the clouds (each well within its sender budget), each carrying
time.perf_counter_ns() taken just before the send; the receiving handler's latency is its own
perf_counter_ns() minus that.

Designs: `pool` is the default configuration; `per-cloud` sets `event_threads=0` (one event
thread per cloud), the baseline. A build whose `configure` refuses `event_threads` runs the same
code for both, and the tables say so. Every case also sets `journal_frame_payloads=False` where the
build knows it, and keeps the journal to 1,000 entries (COMMON_SETTINGS; it is bounded anyway, and
fewer entries keep fewer frames alive).

Run alone: `python bench/scale.py` (every case), or one case, e.g.
`python bench/scale.py --rooms 200 --design pool --pacing python --seconds 4`; `--events` runs the
event case. `make bench` runs every case through bench/run.py.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent

ROOMS = (10, 50, 100, 200)
MEMBERS = 3
PACINGS = ("python", "clock")
# What each design sets through loopback.configure; the pool is the default configuration.
DESIGNS: dict[str, dict[str, int]] = {"pool": {}, "per-cloud": {"event_threads": 0}}
# Set in every case, whichever the design; a key this build does not know is left out and noted.
COMMON_SETTINGS: dict[str, Any] = {"journal_frame_payloads": False, "journal_entries": 1_000}

FRAME_MS = 20
SEND_RATE = 48_000
RECEIVE_RATE = 16_000
WARMUP_SECONDS = 1.0
MEASURE_SECONDS = 3.5
# Audio handed to SendContinuousAudioFrame ahead of real time (within the queue's bound).
# Paced frames handed over ahead: the queue's bound less these; refilled below REFILL_BELOW_SECONDS.
PACED_SPARE_FRAMES = 10
REFILL_BELOW_SECONDS = 1.0
TOP_UP_SECONDS = 0.1
REFILL_FRAMES_PER_PASS_SECONDS = 0.5
SLEEP_PROBE_SECONDS = 0.005
# A recording handler's list of copies is emptied at this length, so memory stays flat.
KEPT_FRAMES = 500

EVENT_CLOUDS = 1_000
EVENTS_PER_SECOND = 10_000
EVENT_TICK_SECONDS = 0.001

# Beyond the window: start-up, room set-up, analysis. A case past this is killed and reported so.
CASE_OVERHEAD_SECONDS = 90.0

TARGETS = {
    "rooms": 200,
    "share": 0.95,
    "p99_ms": 50.0,
    "cpu_us": 25.0,
    "event_clouds": EVENT_CLOUDS,
    "event_p50_ms": 3.0,
}

# Flipped by the main thread at the window's edges; handlers and probes read it under the
# interpreter lock.
RECORDING = False
STOPPED = False


def percentile(values: Sequence[float], share: float) -> float:
    """The nearest-rank percentile; NaN for no values."""
    if not values:
        return math.nan
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(share * len(ordered)) - 1))]


def apply_settings(design: str) -> dict[str, Any]:
    """Configures the loopback for a design, key by key; returns what was applied and refused."""
    from mirelo import loopback

    applied: dict[str, Any] = {}
    refused: list[str] = []
    for name, value in {**COMMON_SETTINGS, **DESIGNS[design]}.items():
        try:
            loopback.configure(**{name: value})
        except (TypeError, ValueError):
            refused.append(name)
        else:
            applied[name] = value
    known = loopback.limits()["configure"]
    return {
        "applied": applied,
        "refused": refused,
        # Without the key, the pool and per-cloud rows measure the same code.
        "designs_differ": "event_threads" in known or "event_threads" in applied,
        "configuration": loopback.configuration(),
    }


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


class Window:
    """Opens after the warm-up and closes after the measure: times, CPU, threads and drops at its
    edges, the thread count sampled while it is open, and the sleep probe's lateness."""

    def __init__(self) -> None:
        self.lateness: list[float] = []
        self.threads = 0
        self.began = self.ended = 0.0
        self.cpu = 0.0
        self.dropped = 0
        self.loaded = time.perf_counter()  # the load starts when the warm-up does

    def sleep_probe(self) -> None:
        while not STOPPED:
            began = time.perf_counter()
            time.sleep(SLEEP_PROBE_SECONDS)
            late = time.perf_counter() - began - SLEEP_PROBE_SECONDS
            if RECORDING:
                self.lateness.append(late)

    def run(self, warmup: float, measure: float) -> None:
        global RECORDING
        from mirelo import loopback

        self.loaded = time.perf_counter()
        time.sleep(warmup)
        dropped = sum(entry["dropped"] for entry in loopback.stats().values())
        cpu = os.times()
        self.began = time.perf_counter()
        RECORDING = True
        deadline = self.began + measure
        while (now := time.perf_counter()) < deadline:
            self.threads = max(self.threads, thread_count())
            time.sleep(min(0.25, deadline - now))
        RECORDING = False
        self.ended = time.perf_counter()
        spent = os.times()
        self.cpu = (spent.user + spent.system) - (cpu.user + cpu.system)
        self.dropped = sum(entry["dropped"] for entry in loopback.stats().values()) - dropped

    @property
    def seconds(self) -> float:
        return self.ended - self.began

    def figures(self, started: float) -> dict[str, Any]:
        """The window's figures; started: when the case began setting up."""
        return {
            "setup_s": self.loaded - started,
            "window_s": self.seconds,
            "cpu_s": self.cpu,
            "threads": self.threads,
            "sleep_late_p99_ms": 1e3 * percentile(self.lateness, 0.99),
            "dropped": self.dropped,
        }


def room_params(user_id: str, room: str) -> Any:
    from mirelo import _mirelo as m

    entry = m.EnterRoomParams()
    entry.room.sdk_app_id = 1
    entry.room.str_room_id.SetValue(room)
    entry.room.user_id.SetValue(user_id)
    entry.room.user_sig.SetValue("sig")
    obtain = entry.audio_obtain_params
    obtain.audio_obtain_method = m.AUDIO_OBTAIN_METHOD_CALLBACK
    obtain.enable_remote_audio_mix = False
    obtain.output_sample_rate = RECEIVE_RATE
    obtain.output_channels = 1
    obtain.output_frame_length_ms = FRAME_MS
    return entry


def sine_frame() -> Any:
    from mirelo import _mirelo as m

    samples = SEND_RATE * FRAME_MS // 1000
    frame = m.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = SEND_RATE, 1, 16
    frame.codec = m.AUDIO_CODEC_TYPE_PCM
    frame.SetData(
        struct.pack(
            f"<{samples}h", *(round(8000 * math.sin(2 * math.pi * 440 * i / SEND_RATE)) for i in range(samples))
        )
    )
    return frame


def audio_case(rooms: int, pacing: str, warmup: float, measure: float) -> dict[str, Any]:
    """One audio case in this process; see the module's docstring."""
    global STOPPED
    if pacing not in PACINGS:
        raise ValueError(f"pacing is one of {', '.join(PACINGS)}, not {pacing!r}")
    import mirelo
    from mirelo import _mirelo as m
    from mirelo import loopback

    class Listener(mirelo.Delegate, report_errors=False):
        """Copies each frame's payload, and while the window is open notes its latency and length."""

        def __init__(self, due_at: dict[str | None, list[float]]) -> None:
            super().__init__()
            self.due_at = due_at  # by user id: frame k's reference time
            self.kept: list[bytes] = []
            self.latencies: list[float] = []
            self.samples = 0
            self.frames = 0
            self.unmatched = 0

        def OnRemoteAudioReceived(self, user_id: str | None, frame: Any) -> None:
            if STOPPED:
                return
            data = frame.data
            kept = self.kept
            kept.append(data)
            if len(kept) >= KEPT_FRAMES:
                kept.clear()
            if RECORDING:
                arrived = time.perf_counter()
                self.frames += 1
                self.samples += len(data) // 2
                try:
                    self.latencies.append(arrived - self.due_at[user_id][frame.pts // FRAME_MS])
                except (KeyError, IndexError):
                    self.unmatched += 1

    started = time.perf_counter()
    users = [f"user{i}" for i in range(MEMBERS)]
    # Per sender cloud, frame k's reference time; shared by the room's listeners, by user id.
    due_at: list[list[float]] = []
    listeners: list[Listener] = []
    clouds: list[Any] = []
    for room in range(rooms):
        times: dict[str | None, list[float]] = {user: [] for user in users}
        for user in users:
            listener = Listener(times)
            cloud = m.QOLTCloud(listener)
            assert cloud.EnterRoom(room_params(user, f"room{room}")) == 0
            assert cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
            listeners.append(listener)
            clouds.append(cloud)
            due_at.append(times[user])
    loopback.flush(timeout=120)

    frame = sine_frame()
    counts = {"refused_sends": 0}
    ran_dry: set[int] = set()  # senders whose queue was found with every frame due
    window = Window()
    frame_seconds = FRAME_MS / 1000

    def python_pacer() -> None:
        origin = time.perf_counter()
        tick = 0
        while not STOPPED:
            due = origin + tick * frame_seconds
            delay = due - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            frame.pts = (tick * FRAME_MS) & 0xFFFFFFFF
            for cloud, times in zip(clouds, due_at):
                times.append(due)
                if cloud.SendAudioFrame(frame) != 0:
                    counts["refused_sends"] += 1
            tick += 1

    # When each sender's next frame handed over is due. The loopback's pacer starts a sender's
    # queue with its first frame, and starts it again the same way when it ran dry: a frame handed
    # to an empty queue is due when it is handed over, the next ones 20 ms apart.
    next_due = [0.0] * len(clouds)
    lead = (loopback.limits()["paced_audio_frames"] - PACED_SPARE_FRAMES) * frame_seconds

    def top_up(index: int, below: float, most: int) -> None:
        """Hands the sender up to `most` frames, towards `lead` ahead of now, if less than `below`
        is left."""
        cloud, times = clouds[index], due_at[index]
        now = time.perf_counter()
        if next_due[index] < now:
            if times:
                ran_dry.add(index)  # its queue ran dry (or the pacer fell behind; then later frames are late)
            next_due[index] = now
        if next_due[index] - now >= below:
            return
        horizon = now + lead
        for _ in range(most):
            if next_due[index] > horizon or STOPPED:
                return
            frame.pts = (len(times) * FRAME_MS) & 0xFFFFFFFF
            times.append(next_due[index])
            if cloud.SendContinuousAudioFrame(frame, False) != 0:
                times.pop()
                counts["refused_sends"] += 1
                return
            next_due[index] += frame_seconds

    def clock_feeder() -> None:
        # A few frames per sender and pass, so that no pass lasts long and every queue gets its turn.
        most = max(1, round(REFILL_FRAMES_PER_PASS_SECONDS / frame_seconds))
        while not STOPPED:
            for index in range(len(clouds)):
                top_up(index, REFILL_BELOW_SECONDS, most)
            time.sleep(TOP_UP_SECONDS)

    probe = threading.Thread(target=window.sleep_probe, daemon=True)
    if pacing == "clock":
        # Handed over ahead of time, before anyone subscribes, so that no handler runs meanwhile
        # to slow the hand-over down; the feeder keeps the queues going while the others subscribe.
        for index in range(len(clouds)):
            top_up(index, lead, round(lead / frame_seconds))
        load = threading.Thread(target=clock_feeder, daemon=True)
        load.start()
    for room in range(rooms):
        for index, user in enumerate(users):
            for other in users:
                if other != user:
                    assert clouds[room * MEMBERS + index].Subscribe(other, m.STREAM_TYPE_AUDIO) == 0
    if pacing == "python":
        load = threading.Thread(target=python_pacer, daemon=True)
        load.start()
    probe.start()
    workers = (load, probe)
    window.run(warmup, measure)
    STOPPED = True
    for worker in workers:
        worker.join(timeout=1)  # daemons: one still busy does not hold the figures up
    delivered_ms = sum(listener.samples for listener in listeners) * 1000 / RECEIVE_RATE
    frames = sum(listener.frames for listener in listeners)
    latencies = [latency for listener in listeners for latency in listener.latencies]
    streams = rooms * MEMBERS * (MEMBERS - 1)
    return {
        "rooms": rooms,
        "pacing": pacing,
        "clouds": len(clouds),
        "share": delivered_ms / (window.seconds * 1000 * streams),
        "frames_per_s": frames / window.seconds,
        "expected_frames_per_s": streams * 1000 / FRAME_MS,
        "cpu_us": 1e6 * window.cpu / frames if frames else math.nan,
        "p50_ms": 1e3 * percentile(latencies, 0.5),
        "p99_ms": 1e3 * percentile(latencies, 0.99),
        "unmatched": sum(listener.unmatched for listener in listeners),
        **counts,
        "queues_ran_dry": len(ran_dry),
        **window.figures(started),
    }


def event_case(warmup: float, measure: float) -> dict[str, Any]:
    """The event case in this process; see the module's docstring."""
    global STOPPED
    import mirelo
    from mirelo import _mirelo as m
    from mirelo import loopback

    class Receiver(mirelo.Delegate, report_errors=False):
        def __init__(self) -> None:
            super().__init__()
            self.latencies: list[int] = []

        def OnReceiveCustomCmdMsg(self, user_id: str | None, cmd_id: int, seq: int, message: bytes) -> None:
            if RECORDING:
                self.latencies.append(time.perf_counter_ns() - int.from_bytes(message, "little"))

    started = time.perf_counter()
    per_sender = EVENTS_PER_SECOND / EVENT_CLOUDS
    budget = loopback.limits()["custom_messages_per_second"]
    assert per_sender <= budget / 2, f"{per_sender:g} messages/s per sender is too close to the budget of {budget}"
    receivers: list[Receiver] = []
    clouds: list[Any] = []
    for index in range(EVENT_CLOUDS):
        receiver = Receiver()
        cloud = m.QOLTCloud(receiver)
        assert cloud.EnterRoom(room_params(f"user{index % 2}", f"room{index // 2}")) == 0
        receivers.append(receiver)
        clouds.append(cloud)
    loopback.flush(timeout=120)
    refused = {"sends": 0}
    window = Window()

    def sender() -> None:
        origin = time.perf_counter()
        sent = 0
        while not STOPPED:
            due = int((time.perf_counter() - origin) * EVENTS_PER_SECOND)
            while sent < due:
                cloud = clouds[sent % EVENT_CLOUDS]
                if not cloud.SendCustomCmdMsg(1, time.perf_counter_ns().to_bytes(8, "little"), True, True):
                    refused["sends"] += 1
                sent += 1
            time.sleep(EVENT_TICK_SECONDS)

    workers = [threading.Thread(target=work, daemon=True) for work in (sender, window.sleep_probe)]
    for worker in workers:
        worker.start()
    window.run(warmup, measure)
    STOPPED = True
    for worker in workers:
        worker.join(timeout=1)  # daemons: one still busy does not hold the figures up
    latencies = [latency / 1e6 for receiver in receivers for latency in receiver.latencies]
    return {
        "clouds": EVENT_CLOUDS,
        "events_per_s": EVENTS_PER_SECOND,
        "delivered_per_s": len(latencies) / window.seconds,
        "cpu_us": 1e6 * window.cpu / len(latencies) if latencies else math.nan,
        "p50_ms": percentile(latencies, 0.5),
        "p99_ms": percentile(latencies, 0.99),
        "refused_sends": refused["sends"],
        **window.figures(started),
    }


def run_child(case: dict[str, Any]) -> dict[str, Any]:
    """Runs one case in this process (a fresh one, started by run_case)."""
    began = time.perf_counter()
    settings = apply_settings(case["design"])
    if case["kind"] == "audio":
        figures = audio_case(case["rooms"], case["pacing"], case["warmup"], case["measure"])
    else:
        figures = event_case(case["warmup"], case["measure"])
    result = {**case, **figures, "settings": settings, "case_s": time.perf_counter() - began}
    # No figure (no sample in the window) is null, which JSON has, rather than NaN, which it has not.
    return {name: None if isinstance(value, float) and math.isnan(value) else value for name, value in result.items()}


def run_case(case: dict[str, Any]) -> dict[str, Any]:
    """Runs one case in a fresh subprocess; a case that fails or overruns is reported as such."""
    limit = case["warmup"] + case["measure"] + CASE_OVERHEAD_SECONDS
    command = [sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(case)]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=limit, check=False)
    except subprocess.TimeoutExpired:
        return {**case, "error": f"killed after {limit:.0f} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        tail = (done.stderr.strip().splitlines() or ["no output"])[-1]
        return {**case, "error": f"exit {done.returncode}: {tail}"}
    result: dict[str, Any] = json.loads(lines[-1])
    return result


def bench_scale(
    rooms: Sequence[int] = ROOMS,
    pacings: Sequence[str] = PACINGS,
    designs: Sequence[str] = tuple(DESIGNS),
    events: bool = True,
    warmup: float = WARMUP_SECONDS,
    measure: float = MEASURE_SECONDS,
    progress: Callable[[str], None] | None = None,
) -> dict[str, list[dict[str, Any]]]:
    """Every case, each in its own subprocess, the designs interleaved (A B A B ...)."""
    cases: list[dict[str, Any]] = [
        {"kind": "audio", "rooms": count, "pacing": pacing, "design": design, "warmup": warmup, "measure": measure}
        for count in rooms
        for pacing in pacings
        for design in designs
    ]
    if events:
        cases += [{"kind": "events", "design": design, "warmup": warmup, "measure": measure} for design in designs]
    results: dict[str, list[dict[str, Any]]] = {"audio": [], "events": []}
    for case in cases:
        began = time.perf_counter()
        result = run_case(case)
        if progress is not None:
            progress(
                f"{describe(case)}: {time.perf_counter() - began:.1f} s{' ' + result['error'] if 'error' in result else ''}"
            )
        results[case["kind"]].append(result)
    return results


def describe(case: dict[str, Any]) -> str:
    if case["kind"] == "audio":
        return f"audio {case['rooms']} rooms x {MEMBERS} {case['pacing']} {case['design']}"
    return f"events {EVENT_CLOUDS} clouds {case['design']}"


def design_label(row: dict[str, Any]) -> str:
    settings = row.get("settings")
    if settings is not None and (not settings["designs_differ"] or "event_threads" in settings["refused"]):
        return f"{row['design']}*"
    return str(row["design"])


def _number(value: Any, form: str) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    return format(value, form)


def report(results: dict[str, list[dict[str, Any]]]) -> str:
    lines: list[str] = []
    if results["audio"]:
        lines += [
            f"Scale: audio, {MEMBERS} clouds per room, each sending 48 kHz mono and hearing the others at 16 kHz "
            "(per-user 20 ms frames, the handler copies the payload)",
            "",
            "| rooms x 3 | pacing | design | delivered share | delivered frames/s | CPU us/frame | latency p50 ms | "
            "latency p99 ms | threads | 5 ms sleep late p99 ms | dropped |",
            "|---:|---|---|---:|---:|---:|---:|---:|---:|---:|---:|",
        ]
    for row in results["audio"]:
        head = f"| {row['rooms']} | {row['pacing']} | {design_label(row)} |"
        if "error" in row:
            lines.append(f"{head} {row['error']} | | | | | | | |")
            continue
        lines.append(
            f"{head} {_number(row['share'], '.1%')} | {_number(row['frames_per_s'], ',.0f')} | "
            f"{_number(row['cpu_us'], '.1f')} | {_number(row['p50_ms'], '.1f')} | {_number(row['p99_ms'], '.1f')} | "
            f"{row['threads']} | {_number(row['sleep_late_p99_ms'], '.1f')} | {row['dropped']:,} |"
        )
    if results["audio"]:
        lines.append(
            f"| target at {TARGETS['rooms']} | | | >= {TARGETS['share']:.0%} | | <= {TARGETS['cpu_us']:.0f} | | "
            f"<= {TARGETS['p99_ms']:.0f} | not growing with clouds | | |"
        )
    if results["events"]:
        lines += [
            *([""] if lines else []),
            f"Scale: events, {EVENT_CLOUDS} clouds in rooms of 2 sharing {EVENTS_PER_SECOND:,} custom messages/s",
            "",
            "| design | delivered/s | CPU us/event | latency p50 ms | latency p99 ms | threads | "
            "5 ms sleep late p99 ms | refused sends |",
            "|---|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for row in results["events"]:
            head = f"| {design_label(row)} |"
            if "error" in row:
                lines.append(f"{head} {row['error']} | | | | | | |")
                continue
            lines.append(
                f"{head} {_number(row['delivered_per_s'], ',.0f')} | {_number(row['cpu_us'], '.1f')} | "
                f"{_number(row['p50_ms'], '.2f')} | {_number(row['p99_ms'], '.2f')} | {row['threads']} | "
                f"{_number(row['sleep_late_p99_ms'], '.1f')} | {row['refused_sends']:,} |"
            )
        lines.append(f"| target | | | <= {TARGETS['event_p50_ms']:g} | | | | |")
    dry = [row for row in results["audio"] if row.get("queues_ran_dry")]
    if dry:
        cases = ", ".join(f"{row['rooms']} {design_label(row)} ({row['queues_ran_dry']:,})" for row in dry)
        lines += [
            "",
            "Clock pacing: the Python thread that tops the queues up found every frame handed over already due "
            f"(the queue ran dry, or the loopback's pacer fell behind): rooms, design (senders): {cases}.",
        ]
    rows = results["audio"] + results["events"]
    if any(design_label(row).endswith("*") for row in rows):
        lines += ["", "\\* this build's `configure` has no `event_threads`: both designs ran the same code."]
    refused = sorted({name for row in rows for name in row.get("settings", {}).get("refused", [])})
    if refused:
        lines.append(f"Settings this build refused (left at their defaults): {', '.join(refused)}.")
    return "\n".join(lines)


def positive(text: str) -> int:
    number = int(text)
    if number < 1:
        raise argparse.ArgumentTypeError(f"at least 1, not {number}")
    return number


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rooms", type=positive, action="append", help="rooms of 3 clouds (repeatable); default: all")
    parser.add_argument("--pacing", choices=PACINGS, action="append", help="default: both")
    parser.add_argument("--design", choices=tuple(DESIGNS), action="append", help="default: both")
    parser.add_argument("--seconds", type=float, default=MEASURE_SECONDS, help="the measured window")
    parser.add_argument("--warmup", type=float, default=WARMUP_SECONDS)
    parser.add_argument("--events", action="store_true", help="run the event case (alone, unless --rooms)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        result = run_child(json.loads(args.child))
        sys.stdout.write(json.dumps(result) + "\n")
        sys.stdout.flush()
        # The clouds are left to the process: tearing hundreds down would only add time.
        os._exit(0)
    only_events = args.events and not args.rooms
    results = bench_scale(
        rooms=() if only_events else (args.rooms or ROOMS),
        pacings=args.pacing or PACINGS,
        designs=args.design or tuple(DESIGNS),
        events=args.events or not (args.rooms or args.pacing),
        warmup=args.warmup,
        measure=args.seconds,
        progress=lambda line: print(line, file=sys.stderr, flush=True),
    )
    print(report(results))


if __name__ == "__main__":
    main()
