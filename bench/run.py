"""Measures the module's costs against floors measured in the same run; prints one table.

Event dispatch goes from the loopback's event threads to a handler that only counts; the floors are
a hand-written C-API trampoline with a persistent thread state, the same with a fresh thread state per
event, both calling a handler of the binding's handler class, and a native delegate that does nothing
(the loopback's own cost). With several clouds the pool's threads take turns at the interpreter lock,
and a run either overlaps their work or hands the lock over at every event, at about twice the cost:
dispatch takes the median of DISPATCH_REPEATS short runs, so that it does not land on either kind at
random. Calls from Python are set against empty pybind11 methods with the same argument types plus
the loopback's own work measured natively. Payload reads are set against memcpy. Last, the worst
delay of an event behind a flood (bench/flood.py). Every other figure is the median of REPEATS runs,
each path measured once in every run.

Then the scale section (bench/scale.py): hundreds of rooms of audio, and a thousand clouds sharing
custom messages, each case once in a fresh subprocess, the event-delivery designs interleaved.
"""

from __future__ import annotations

import functools
import importlib
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any

import scale

import mirelo
from flood import bench_flood, room_params
from flood import report as flood_report
from mirelo import _mirelo as m
from mirelo import loopback

HERE = Path(__file__).resolve().parent
REPEATS = 7
DISPATCH_REPEATS = 31
EVENTS_PER_RUN = {"binding": 40_000, "floor": 40_000, "fresh": 4_000, "native": 200_000}
CALLS_PER_RUN = 200_000


def build_floor() -> ModuleType:
    """Builds bench/floor.cpp against the installed libmirelo.so and imports it."""
    libs = Path(mirelo.__file__).resolve().parent.parent / "mirelo.libs"
    build = HERE.parent / "build" / "bench"
    tools = Path(sys.executable).parent
    cmake = shutil.which("cmake", path=f"{tools}{os.pathsep}{os.environ.get('PATH', '')}") or "cmake"
    import pybind11

    subprocess.run(
        [
            cmake,
            "-S",
            str(HERE),
            "-B",
            str(build),
            "-G",
            "Ninja",
            f"-DMIRELO_LIBS_DIR={libs}",
            f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-DCMAKE_MAKE_PROGRAM={shutil.which('ninja', path=str(tools)) or 'ninja'}",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run([cmake, "--build", str(build)], check=True, stdout=subprocess.DEVNULL)
    sys.path.insert(0, str(build))
    return importlib.import_module("_bench_floor")


class Counter(m.QOLTCloudDelegate):
    """Counts the events it handles. Every path calls a handler of this class, the floors too: an
    instance of a class derived from a pybind11 class keeps its attributes in a dictionary, where a
    plain object keeps them inline, and its own `self.count += 1` would otherwise weigh on the
    binding's side alone."""

    count = 0

    def __init__(self) -> None:
        m.QOLTCloudDelegate.__init__(self)

    def OnEnterRoom(self) -> None:
        self.count += 1

    def OnRemoteAudioReceived(self, user_id: Any, frame: Any) -> None:
        self.count += 1

    def OnReceiveCustomCmdMsg(self, user_id: Any, cmd_id: Any, seq: Any, message: Any) -> None:
        self.count += 1

    def OnNetworkQuality(self, local: Any, remote: Any) -> None:
        self.count += 1


class ReportingCounter(mirelo.Delegate):
    """A mirelo.Delegate whose OnEnterRoom counts: its errors would be logged."""

    count = 0

    def OnEnterRoom(self) -> None:
        self.count += 1


class QuietCounter(mirelo.Delegate, report_errors=False):
    count = 0

    def OnEnterRoom(self) -> None:
        self.count += 1


def audio_frame(size: int) -> m.AudioFrame:
    frame = m.AudioFrame()
    frame.SetData(bytes(size))
    return frame


EVENTS: dict[str, tuple[str, tuple[Any, ...]]] = {
    "OnEnterRoom": ("OnEnterRoom", ()),
    "OnRemoteAudioReceived 1920 B": ("OnRemoteAudioReceived", ("alice", audio_frame(1920))),
    "OnReceiveCustomCmdMsg 100 B": ("OnReceiveCustomCmdMsg", ("alice", 1, 7, b"x" * 100)),
    "OnNetworkQuality 3 remote": (
        "OnNetworkQuality",
        (("me", 1), [("alice", 1), ("bob", 2), ("carol", 3)]),
    ),
}


def dispatch_ns(handles: list[int], operation: str, args: tuple[Any, ...], per_cloud: int) -> float:
    """ns per event with every cloud's event thread delivering per_cloud events at once."""
    start = threading.Barrier(len(handles) + 1)
    errors: list[BaseException] = []

    def drive(handle: int) -> None:
        try:
            start.wait(timeout=30)
            loopback.emit(handle, operation, *args, repeat=per_cloud, timeout=120)
        except BaseException as error:  # noqa: BLE001 - reported by the caller
            errors.append(error)

    threads = [threading.Thread(target=drive, args=(handle,)) for handle in handles]
    for thread in threads:
        thread.start()
    start.wait(timeout=30)
    began = time.perf_counter()
    for thread in threads:
        thread.join(timeout=300)
    elapsed = time.perf_counter() - began
    if errors:
        raise errors[0]
    return elapsed * 1e9 / (per_cloud * len(handles))


def interleaved_medians(measures: dict[str, Callable[[], float]], repeats: int = REPEATS) -> dict[str, float]:
    """The median of `repeats` runs of each measure, every repetition running each once, so that
    drift in the machine's speed reaches all of them alike and the ratios stay meaningful."""
    samples: dict[str, list[float]] = {name: [] for name in measures}
    for _ in range(repeats):
        for name, measure in measures.items():
            samples[name].append(measure())
    return {name: statistics.median(values) for name, values in samples.items()}


def make_clouds(floor: ModuleType, path: str, count: int) -> tuple[list[int], list[Counter], Callable[[], None]]:
    """Clouds of one path with their counting handlers; returns their handles and a destroyer."""
    before = set(loopback.clouds())
    keep: list[Any] = []
    ids: list[int] = []
    counters: list[Counter] = []
    for _ in range(count):
        counter = Counter()
        if path == "binding":
            keep.append(m.QOLTCloud(counter))
        elif path == "native":
            ids.append(floor.create_native_cloud())
        elif path == "fresh":
            # A thread of its own, which no other path's thread state is ever made on: on a shared
            # pool thread the floor's first event would keep a state for every later one.
            threads = loopback.configuration()["event_threads"]
            loopback.configure(event_threads=0)
            try:
                ids.append(floor.create_floor_cloud(counter, False))
            finally:
                loopback.configure(event_threads=threads)
        else:
            ids.append(floor.create_floor_cloud(counter, True))
        counters.append(counter)
    handles = [h for h in loopback.clouds() if h not in before]

    def destroy() -> None:
        keep.clear()
        for cloud_id in ids:
            floor.destroy_cloud(cloud_id)

    return handles, counters, destroy


def bench_dispatch(floor: ModuleType) -> list[dict[str, Any]]:
    rows = []
    paths = ("binding", "floor", "fresh", "native")
    for clouds in (1, 4):
        for label, (operation, args) in EVENTS.items():
            made = {path: make_clouds(floor, path, clouds) for path in paths}
            figures = interleaved_medians(
                {
                    f"{path}_ns": functools.partial(
                        dispatch_ns, made[path][0], operation, args, EVENTS_PER_RUN[path] // clouds
                    )
                    for path in paths
                },
                DISPATCH_REPEATS,
            )
            for path in paths:
                _, counters, destroy = made[path]
                expected = 0 if path == "native" else EVENTS_PER_RUN[path] // clouds * DISPATCH_REPEATS
                assert all(c.count == expected for c in counters), [c.count for c in counters]
                destroy()
            rows.append({"clouds": clouds, "event": label, **figures})
    return rows


def bench_error_reporting() -> dict[str, float]:
    """OnEnterRoom on one cloud through mirelo.Delegate, with its error reporting on and off."""
    handlers = {"reporting": ReportingCounter(), "quiet": QuietCounter()}
    clouds = {name: m.QOLTCloud(handler) for name, handler in handlers.items()}
    handles = dict(zip(handlers, loopback.clouds()[-2:]))
    figures = interleaved_medians(
        {
            f"{name}_ns": functools.partial(dispatch_ns, [handle], "OnEnterRoom", (), EVENTS_PER_RUN["binding"])
            for name, handle in handles.items()
        }
    )
    assert all(h.count == EVENTS_PER_RUN["binding"] * REPEATS for h in handlers.values())
    clouds.clear()
    return figures


def timed_ns(count: int, call: Callable[[], Any]) -> float:
    began = time.perf_counter()
    for _ in range(count):
        call()
    return (time.perf_counter() - began) * 1e9 / count


def bench_calls(floor: ModuleType) -> list[dict[str, Any]]:
    """Calls from Python, and the same calls made natively, each sender in a room of its own with an
    audio channel and one native listener that subscribes to nothing. Rooms of their own: a message
    from one sender would otherwise raise an event for the other, and a Python one would take the
    interpreter lock in the middle of the next measurement."""
    speaker = Counter()
    cloud = m.QOLTCloud(speaker)
    assert cloud.EnterRoom(room_params("py-speaker", "bench-python")) == 0
    assert cloud.CreateLocalAudioChannel(m.AudioEncodeParams()) == 0
    native = floor.create_native_cloud()
    assert floor.enter_room(native, room_params("native-speaker", "bench-native")) == 0
    assert floor.create_audio_channel(native, m.AudioEncodeParams()) == 0
    listeners = [floor.create_native_cloud() for _ in range(2)]
    for listener, room in zip(listeners, ("bench-python", "bench-native")):
        assert floor.enter_room(listener, room_params("listener", room)) == 0
    loopback.flush()
    frame, empty, record = audio_frame(1920), floor.EmptyCloud(), m.AudioEncodeParams()
    empty_record = floor.EmptyRecord()
    message = b"x" * 100
    n = CALLS_PER_RUN
    rows = []
    cases: list[tuple[str, Callable[[], Any], Callable[[], Any], Callable[[], float]]] = [
        (
            "SendAudioFrame 1920 B",
            lambda: cloud.SendAudioFrame(frame),
            lambda: empty.SendAudioFrame(frame),
            lambda: floor.send_audio_ns(native, frame, n),
        ),
        (
            "SendCustomCmdMsg 100 B",
            lambda: cloud.SendCustomCmdMsg(1, message, True, True),
            lambda: empty.SendCustomCmdMsg(1, message, True, True),
            lambda: floor.send_custom_ns(native, message, n),
        ),
        (
            "Subscribe",
            lambda: cloud.Subscribe("alice", m.STREAM_TYPE_AUDIO),
            lambda: empty.Subscribe("alice", m.STREAM_TYPE_AUDIO),
            lambda: floor.subscribe_ns(native, "alice", m.STREAM_TYPE_AUDIO, n),
        ),
        (
            "record field write",
            lambda: setattr(record, "bitrate_bps", 64000),
            lambda: setattr(empty_record, "value", 64000),
            lambda: 0.0,
        ),
        ("record field read", lambda: record.bitrate_bps, lambda: empty_record.value, lambda: 0.0),
    ]
    for label, call, empty_call, native_work in cases:
        figures = interleaved_medians(
            {
                "binding_ns": lambda: timed_ns(n, call),
                "empty_ns": lambda: timed_ns(n, empty_call),
                "loopback_ns": native_work,
            }
        )
        rows.append({"call": label, **figures})
    del cloud
    for cloud_id in (native, *listeners):
        floor.destroy_cloud(cloud_id)
    return rows


def bench_copies(floor: ModuleType) -> list[dict[str, Any]]:
    rows = []
    pixel = m.PixelFrame()
    pixel.width, pixel.height = 1920, 1080
    pixel.SetData(bytes(3_110_400))
    for label, frame, count in (
        ("AudioFrame.data 1920 B", audio_frame(1920), 200_000),
        ("PixelFrame.data 1080p 3110400 B", pixel, 300),
    ):
        size = frame.size
        figures = interleaved_medians(
            {
                "binding_ns": lambda: timed_ns(count, lambda: frame.data),
                "memcpy_ns": lambda: floor.memcpy_ns(size, count),
            }
        )
        rows.append({"copy": label, "size": size, **figures})
    return rows


def machine() -> str:
    model = "unknown processor"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (
        f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}, Python {platform.python_version()}"
    )


def report(
    dispatch: list[dict[str, Any]],
    reporting: dict[str, float],
    calls: list[dict[str, Any]],
    copies: list[dict[str, Any]],
    floods: list[dict[str, float]],
) -> str:
    lines = [f"machine: {machine()}", f"medians of {REPEATS} runs ({DISPATCH_REPEATS} for event dispatch)", ""]
    lines.append(
        "| event dispatch | clouds | binding ns | events/s | floor ns | x floor | fresh-state ns | "
        "fresh / binding | loopback alone ns |"
    )
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for row in dispatch:
        lines.append(
            f"| {row['event']} | {row['clouds']} | {row['binding_ns']:.0f} | {1e9 / row['binding_ns']:,.0f} | "
            f"{row['floor_ns']:.0f} | {row['binding_ns'] / row['floor_ns']:.2f} | {row['fresh_ns']:.0f} | "
            f"{row['fresh_ns'] / row['binding_ns']:.1f} | {row['native_ns']:.0f} |"
        )
    lines += [
        "",
        "| mirelo.Delegate, OnEnterRoom, 1 cloud | errors reported ns | report_errors=False ns | cost |",
        "|---|---:|---:|---:|",
        f"| | {reporting['reporting_ns']:.0f} | {reporting['quiet_ns']:.0f} | "
        f"{reporting['reporting_ns'] / reporting['quiet_ns'] - 1:+.0%} |",
    ]
    lines += [
        "",
        "| call from Python | binding ns | empty method ns | loopback work ns | x (empty + work) |",
        "|---|---:|---:|---:|---:|",
    ]
    for row in calls:
        base = row["empty_ns"] + row["loopback_ns"]
        lines.append(
            f"| {row['call']} | {row['binding_ns']:.0f} | {row['empty_ns']:.0f} | "
            f"{row['loopback_ns']:.0f} | {row['binding_ns'] / base:.2f} |"
        )
    lines += ["", "| payload copy | binding ns | memcpy ns | share of memcpy bandwidth |", "|---|---:|---:|---:|"]
    for row in copies:
        lines.append(
            f"| {row['copy']} | {row['binding_ns']:.0f} | {row['memcpy_ns']:.0f} | "
            f"{row['memcpy_ns'] / row['binding_ns']:.0%} |"
        )
    lines += ["", flood_report(floods)]
    return "\n".join(lines)


def main() -> None:
    floor = build_floor()
    dispatch = bench_dispatch(floor)
    reporting = bench_error_reporting()
    calls = bench_calls(floor)
    copies = bench_copies(floor)
    floods = bench_flood(REPEATS)
    scaled = scale.bench_scale(progress=lambda line: print(line, file=sys.stderr, flush=True))
    table = report(dispatch, reporting, calls, copies, floods) + "\n\n" + scale.report(scaled)
    print(table)
    results = HERE / "results"
    results.mkdir(exist_ok=True)
    stamp = time.strftime("%Y%m%dT%H%M%S")
    payload = {
        "machine": machine(),
        "repeats": REPEATS,
        "dispatch": dispatch,
        "error_reporting": reporting,
        "calls": calls,
        "copies": copies,
        "floods": floods,
        "scale": scaled,
    }
    (results / f"{stamp}.json").write_text(json.dumps(payload, indent=2) + "\n")
    (results / "latest.json").write_text(json.dumps(payload, indent=2) + "\n")
    (results / "latest.md").write_text(table + "\n")


if __name__ == "__main__":
    main()
