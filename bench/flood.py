"""The worst delay of an event behind a flood, and what the flood costs in memory.

One cloud's handler takes 0.5 ms per event. While one sender sends 1,000-byte SEI messages in a
tight loop on a video stream that cloud subscribed to, and another member toggles its video channel
in a tight loop, a probe raises an event on the slow cloud every PROBE_EVERY seconds with
`loopback.emit` (without waiting for it) and the handler notes when it runs. The flood lasts FLOODS seconds in turn; if the
queue is bounded, the worst delay does not grow with the flood's length (the last column's ratio
stays near 1). Every figure is the median of REPEATS runs.

Run alone (`python bench/flood.py [REPEATS]`) or as part of `make bench` (bench/run.py).
"""

from __future__ import annotations

import gc
import os
import statistics
import sys
import threading
import time
from typing import Any

import mirelo
from mirelo import _mirelo as m
from mirelo import loopback

HANDLER_SECONDS = 0.0005
PROBE_EVERY = 0.02
FLOODS = (0.5, 1.0, 2.0)
REPEATS = 7
SEI = bytes(1000)
HIGH = m.STREAM_TYPE_VIDEO_HIGH
SLOW_EVENTS = (
    "OnSeiMessageReceived",
    "OnRemoteVideoAvailable",
    "OnRemoteAudioAvailable",
    "OnRemoteUserEnterRoom",
    "OnRemoteUserExitRoom",
    "OnRemoteVideoFrameReceived",
    "OnNetworkQuality",
)


class Slow(mirelo.Delegate, report_errors=False):
    """Every event of the flood takes HANDLER_SECONDS; the handler keeps only counts, and when each
    probe (an OnError whose code numbers it) ran."""

    def __init__(self) -> None:
        super().__init__()
        self.events = 0
        self.busy = 0.0
        self.probes_ran: dict[int, float] = {}

    def OnError(self, error: Any) -> None:
        self.probes_ran[int(error)] = time.perf_counter()
        _slow(self)


def _slow(self: Slow, *args: Any) -> None:
    began = time.perf_counter()
    time.sleep(HANDLER_SECONDS)
    self.events += 1
    self.busy += time.perf_counter() - began


for _name in SLOW_EVENTS:
    setattr(Slow, _name, _slow)


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def room_params(user_id: str, room: str = "flood") -> m.EnterRoomParams:
    """What a benchmark's cloud enters `room` with."""
    entry = m.EnterRoomParams()
    entry.room.sdk_app_id = 1
    entry.room.str_room_id.SetValue(room)
    entry.room.user_id.SetValue(user_id)
    entry.room.user_sig.SetValue("sig")
    return entry


def new_cloud(handler: Any, user_id: str) -> tuple[m.QOLTCloud, int]:
    before = set(loopback.clouds())
    cloud = m.QOLTCloud(handler)
    (handle,) = [h for h in loopback.clouds() if h not in before]
    assert cloud.EnterRoom(room_params(user_id)) == 0
    return cloud, handle


def one_flood(seconds: float) -> dict[str, float]:
    slow = Slow()
    receiver, handle = new_cloud(slow, "receiver")
    sender, _ = new_cloud(mirelo.Delegate(), "sender")
    toggler, _ = new_cloud(mirelo.Delegate(), "toggler")
    assert sender.CreateLocalVideoChannel(HIGH) == 0
    for user in ("sender", "toggler"):
        assert receiver.Subscribe(user, HIGH) == 0
    loopback.flush(timeout=60)
    before = loopback.stats()[handle]
    gc.collect()
    resident = peak = resident_bytes()
    stop = threading.Event()
    sent = {"sei": 0, "toggles": 0}
    probes_sent: list[float] = []
    deepest = 0

    def send_sei() -> None:
        while not stop.is_set():
            for _ in range(100):
                sender.SendSeiMessage(5, SEI)
            sent["sei"] += 100

    def toggle() -> None:
        while not stop.is_set():
            for _ in range(50):
                toggler.CreateLocalVideoChannel(HIGH)
                toggler.DestroyLocalVideoChannel(HIGH)
            sent["toggles"] += 50

    def probe() -> None:
        # Raised without waiting, so that a probe goes on every PROBE_EVERY however long each waits.
        while not stop.is_set():
            probes_sent.append(time.perf_counter())
            try:
                loopback.emit(handle, "OnError", len(probes_sent) - 1, timeout=0)
            except TimeoutError:
                pass
            stop.wait(PROBE_EVERY)

    threads = [threading.Thread(target=work) for work in (send_sei, toggle, probe)]
    began = time.perf_counter()
    for thread in threads:
        thread.start()
    while time.perf_counter() - began < seconds:
        time.sleep(0.01)
        deepest = max(deepest, loopback.stats()[handle]["queued"])
        peak = max(peak, resident_bytes())
    stop.set()
    flood_end = time.perf_counter()
    for thread in threads:
        thread.join(timeout=60)
    loopback.flush(timeout=600)
    drained = time.perf_counter() - flood_end
    assert len(slow.probes_ran) == len(probes_sent)
    delays = [slow.probes_ran[i] - sent for i, sent in enumerate(probes_sent)]
    after = loopback.stats()[handle]
    figures = {
        "flood_s": seconds,
        "sei": sent["sei"],
        "toggles": sent["toggles"],
        "handler_ms": 1e3 * slow.busy / max(slow.events, 1),
        "worst_delay_ms": 1e3 * max(delays),
        "median_delay_ms": 1e3 * statistics.median(delays),
        "drain_ms": 1e3 * drained,
        "deepest": deepest,
        "rss_growth_mb": (peak - resident) / 2**20,
        "delivered": after["delivered"] - before["delivered"],
        "dropped": after["dropped"] - before["dropped"],
        "coalesced": after.get("coalesced", 0) - before.get("coalesced", 0),
    }
    del receiver, sender, toggler
    gc.collect()
    loopback.flush(timeout=60)
    return figures


def bench_flood(repeats: int = REPEATS) -> list[dict[str, float]]:
    """Medians per flood length; the runs of all lengths interleave, so drift reaches each alike.

    The flooding threads are Python threads: with the interpreter's default switch interval (5 ms)
    the handler would wait that long for the interpreter lock after each event, so the interval is
    shortened while the floods run, for the handler to take about what it asks for."""
    runs: dict[float, list[dict[str, float]]] = {seconds: [] for seconds in FLOODS}
    interval = sys.getswitchinterval()
    sys.setswitchinterval(HANDLER_SECONDS / 5)
    try:
        for _ in range(repeats):
            for seconds in FLOODS:
                runs[seconds].append(one_flood(seconds))
    finally:
        sys.setswitchinterval(interval)
    return [
        {name: statistics.median(run[name] for run in runs[seconds]) for name in runs[seconds][0]} for seconds in FLOODS
    ]


def report(rows: list[dict[str, float]]) -> str:
    shortest = rows[0]["worst_delay_ms"]
    lines = [
        f"| flood s | SEI sent | toggles | handler ms | worst delay ms | median delay ms | drain ms | deepest queue | "
        f"RSS growth MB | delivered | dropped | coalesced | worst / worst of {rows[0]['flood_s']:g} s |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for row in rows:
        lines.append(
            f"| {row['flood_s']:g} | {row['sei']:,.0f} | {row['toggles']:,.0f} | {row['handler_ms']:.2f} | "
            f"{row['worst_delay_ms']:.0f} | {row['median_delay_ms']:.0f} | {row['drain_ms']:.0f} | {row['deepest']:,.0f} | "
            f"{row['rss_growth_mb']:.1f} | {row['delivered']:,.0f} | {row['dropped']:,.0f} | {row['coalesced']:,.0f} | "
            f"{row['worst_delay_ms'] / shortest:.2f} |"
        )
    return "\n".join(lines)


if __name__ == "__main__":
    print(report(bench_flood(int(sys.argv[1]) if len(sys.argv) > 1 else REPEATS)))
