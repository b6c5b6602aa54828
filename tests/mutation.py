"""Planted faults: puts each one-line fault below into the code in turn, rebuilds, and runs the tests
that should notice it. A fault the tests do not notice shows a gap in them.

    .venv/bin/python tests/mutation.py            # every fault (make mutation)
    .venv/bin/python tests/mutation.py NAME...    # only these
    .venv/bin/python tests/mutation.py --list

A fault names a folder, not a file, and finds its site by a snippet that must occur exactly once
among the folder's sources: files move between folders and get split, and a snippet that no longer
matches, or matches twice, is reported rather than guessed at. The snippet may span several lines
to be unique; the replacement changes exactly one of them.

Each fault: apply, rebuild incrementally in a build directory of the script's own (unoptimized, or
with the thread sanitizer for faults that only a race shows), stage the built libraries with the
Python sources as a package that the tests import instead of the installed one, run the fault's
tests with -x and a time limit (a hang or a crash counts as noticed), restore the source. The
source is restored also on Ctrl-C or SIGTERM; the installed package is never touched. The first
run builds both directories whole, which takes several minutes.
Exit status 1 when a fault survives, a site is missing, a fault does not compile or a selection
fails without any fault.
"""

from __future__ import annotations

import argparse
import dataclasses
import difflib
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VENV = Path(os.environ.get("MIRELO_VENV", ROOT / ".venv"))
LOG_DIR = ROOT / "build" / "mutation-logs"
SOURCE_SUFFIXES = (".cpp", ".h", ".py")
# Files being rewritten elsewhere: no fault may land in them.
EXCLUDED = (
    "sdk/control/LoopbackControl.cpp",
    "sdk/control/Value.cpp",
    "sdk/control/Value.h",
    "sdk/control/EventDecoder.cpp",
    "sdk/control/EventDecoder.h",
    "sdk/control/RecordValues.cpp",
    "sdk/control/RecordValues.h",
    "mirelo/loopback.py",
)
TEST_TIMEOUT = 240.0
SANITIZER_EXIT = 66
PYBIND11_DIR = VENV / "lib" / "python3.11" / "site-packages" / "pybind11" / "share" / "cmake" / "pybind11"


@dataclasses.dataclass(frozen=True)
class Build:
    """A build of the native code of its own, unoptimized so that it rebuilds quickly, staged as a
    package that the tests import instead of the installed one."""

    name: str
    optimization: str
    flags: str = ""
    preload: str = ""

    @property
    def directory(self) -> Path:
        return ROOT / "build" / self.name

    @property
    def stage(self) -> Path:
        return self.directory / "stage"

    def environment(self) -> dict[str, str]:
        if not self.preload:
            return {}
        library = subprocess.run(["g++", f"-print-file-name={self.preload}"], capture_output=True, text=True).stdout
        return {
            "LD_PRELOAD": library.strip(),
            "TSAN_OPTIONS": f"halt_on_error=1:exitcode={SANITIZER_EXIT}:report_signal_unsafe=0:"
            f"suppressions={ROOT / 'tests' / 'tsan.supp'}:log_path={LOG_DIR / 'races'}",
        }


# NDEBUG as in the installed build: with assertions on, pybind11 checks the interpreter's error
# state where the binding raises a failure on an SDK thread that no longer holds the interpreter
# lock, and crashes there.
PLAIN = Build("mutation", "-O0 -DNDEBUG")
# Races: the thread sanitizer reports two accesses that no lock orders as soon as both happened,
# however rarely they would overlap in time, and a report ends the run with SANITIZER_EXIT.
RACES = Build("mutation-tsan", "-O1 -g -DNDEBUG", "-fsanitize=thread", "libtsan.so")


@dataclasses.dataclass(frozen=True)
class Fault:
    name: str
    folder: str
    snippet: str
    replacement: str
    tests: tuple[str, ...]
    build: Build = PLAIN


def fault(name: str, folder: str, snippet: str, replacement: str, *tests: str, build: Build = PLAIN) -> Fault:
    return Fault(name, folder, snippet, replacement, tests, build)


ROOM_AUDIO = "tests/test_room_audio.py"
ROOM_STREAMS = "tests/test_room_streams.py"
VIDEO = "tests/test_room_streams.py::TestVideo"
MIX_LIFECYCLE = "tests/test_room_audio.py::TestMixLifecycle"

FAULTS = [
    # api/: the SDK's value types.
    fault(
        "pixel frame copy swaps width and height",
        "sdk/api",
        "      width(other.width),",
        "      width(other.height),",
        VIDEO,
    ),
    fault(
        "audio frame copy loses the voice flag",
        "sdk/api",
        "      has_voice(other.has_voice),",
        "      has_voice(false),",
        f"{ROOM_AUDIO}::TestPerSenderFrames",
    ),
    fault(
        "video frame copy loses the key-frame flag",
        "sdk/api",
        "      is_key_frame(other.is_key_frame),",
        "      is_key_frame(false),",
        VIDEO,
    ),
    fault(
        "string holder copy of a null holder is empty text",
        "sdk/api",
        "    : handle_(other.handle_ == nullptr ? nullptr :",
        '    : handle_(other.handle_ == nullptr ? MakeText("") :',
        "tests/test_delegate_events.py::test_a_quality_record_without_a_user_id_arrives_without_one",
    ),
    # runtime/: clouds and their event queues.
    fault(
        "an injected Subscribe result is ignored",
        "sdk/runtime",
        'return Injected("Subscribe", result) ? result :',
        'return Injected("Subscribe", result) ? ERR_OK :',
        "tests/test_cloud.py",
    ),
    fault(
        "SEI payload journaled short",
        "sdk/runtime",
        "Value::Bytes(message, length)});",
        "Value::Bytes(message, length / 2)});",
        "tests/test_cloud.py",
    ),
    # rooms/: presence, streams and the audio routes.
    fault(
        "GetAudioFrame hands out a frozen pts",
        "sdk/rooms",
        "    state->mixed_pts += static_cast<uint32_t>(receiver.obtain.output_frame_length_ms);",
        "    state->mixed_pts += 0;",
        f"{ROOM_AUDIO}::TestGetAudioFrameFields",
    ),
    fault(
        "GetAudioFrame frames claim one channel",
        "sdk/rooms",
        "receiver.obtain.output_channels, state->mixed_pts,",
        "1, state->mixed_pts,",
        f"{ROOM_AUDIO}::TestGetAudioFrameFields",
    ),
    fault(
        "the mix is not drained when a sender stops",
        "sdk/rooms",
        "                DrainMixLocked(*other, *state);",
        "                (void)other;",
        MIX_LIFECYCLE,
    ),
    fault(
        "the mix keeps an unsubscribed sender's buffer",
        "sdk/rooms",
        "    if (type == STREAM_TYPE_AUDIO && publisher != nullptr) {",
        "    if (type == STREAM_TYPE_AUDIO && publisher != nullptr && !self->obtain.enable_remote_audio_mix) {",
        MIX_LIFECYCLE,
    ),
    fault(
        "DestroyLocalVideoChannel takes a stream that is not video for a missing channel",
        "sdk/rooms",
        "        return ERR_INVALID_PARAMETER;\n    }\n    if (!self->HasVideo(type)) {\n"
        "        return ERR_INVALID_OPERATION;\n    }\n    CloseVideoChannelLocked(*self, type);",
        "        return ERR_INVALID_OPERATION;\n    }\n    if (!self->HasVideo(type)) {\n"
        "        return ERR_INVALID_OPERATION;\n    }\n    CloseVideoChannelLocked(*self, type);",
        f"{ROOM_STREAMS}::TestLocalChannels",
    ),
    fault(
        "Subscribe without the room lock",
        "sdk/rooms",
        "    MutexLock lock(mutex_);\n    CloudState* self = nullptr;\n"
        "    if (const int refused = CheckSubscriptionLocked(handle, user_id, type, self); refused != ERR_OK) {\n"
        "        return refused;\n    }\n    self->subscriptions.insert",
        "    (void)mutex_;\n    CloudState* self = nullptr;\n"
        "    if (const int refused = CheckSubscriptionLocked(handle, user_id, type, self); refused != ERR_OK) {\n"
        "        return refused;\n    }\n    self->subscriptions.insert",
        "tests/test_concurrency.py::test_subscriptions_made_while_the_room_state_is_read_are_all_kept",
        build=RACES,
    ),
    fault(
        "odd pictures' chroma planes rounded down",
        "sdk/rooms",
        "    const uint64_t quarter = ((width + 1) / 2) * ((height + 1) / 2);",
        "    const uint64_t quarter = (width / 2) * (height / 2);",
        VIDEO,
    ),
    fault(
        "an audience member's exit is announced",
        "sdk/rooms",
        "        if (leaver.role == QOLT_ROLE_ANCHOR) {",
        "        if (true) {",
        "tests/test_room_presence.py",
    ),
    fault(
        "pixel frames reach receivers that asked for encoded video",
        "sdk/rooms",
        "receiver->pixel_output == pixels &&",
        "true &&",
        VIDEO,
    ),
    fault(
        "audio sent to a receiver that does not subscribe",
        "sdk/rooms",
        "        if (receiver == &sender || !receiver->Subscribed(user_id, STREAM_TYPE_AUDIO)) {",
        "        if (receiver == &sender) {",
        f"{ROOM_STREAMS}::TestSubscribe",
    ),
    # media/: mixing, reframing, conversion, voice detection.
    fault(
        "the mixer keeps a removed source's samples",
        "sdk/media",
        "[source](const Fifo& fifo) { return fifo.source == source; }),",
        "[source](const Fifo& fifo) { return fifo.source == source && false; }),",
        MIX_LIFECYCLE,
    ),
    fault(
        "the mix saturates one short",
        "sdk/media",
        "std::min<int32_t>(32767,",
        "std::min<int32_t>(32766,",
        f"{ROOM_AUDIO}::TestMix",
    ),
    fault(
        "the mix waits for no sender",
        "sdk/media",
        "        shortest = std::min(shortest, fifo.size);",
        "        shortest = std::max(shortest, fifo.size);",
        f"{ROOM_AUDIO}::TestMix",
    ),
    # control/: journal, failures, settings, injected results.
    fault(
        "emit returns before its events have run",
        "sdk/control",
        "    if (EventQueue::Current() != queue.get() && !queue->WaitDone(sequence, deadline)) {",
        "    if (EventQueue::Current() != queue.get() && !queue->WaitDone(0, deadline)) {",
        "tests/test_loopback.py",
    ),
    fault(
        "emit raises one event fewer than asked",
        "sdk/control",
        "            for (uint32_t i = 0; i < batch; ++i) {",
        "            for (uint32_t i = 1; i < batch; ++i) {",
        "tests/test_loopback.py",
    ),
    fault(
        "the journal keeps one entry past its limit",
        "sdk/control",
        "while (entries_.size() > max_entries_ ||",
        "while (entries_.size() > max_entries_ + 1 ||",
        "tests/test_records.py",
        "tests/test_loopback.py",
    ),
    fault(
        "cut failure texts are not counted",
        "sdk/control",
        "counts_.cut += cut ? 1 : 0;",
        "counts_.cut += 0;",
        "tests/test_loopback.py",
        "tests/test_control_errors.py",
    ),
    fault(
        "an injected result lasts one call past its count",
        "sdk/control",
        "    if (--next.remaining == 0) {",
        "    if (next.remaining-- == 0) {",
        "tests/test_loopback.py",
        "tests/test_cloud.py",
    ),
    fault(
        "the configuration read back is the defaults",
        "sdk/control",
        "snapshot.Add(field.name, Number(field, values_));",
        "snapshot.Add(field.name, Number(field, Values{}));",
        "tests/test_limits.py",
    ),
    # settings/: process-wide settings.
    fault(
        "a proxy on port 0 is taken",
        "sdk/settings",
        "if (host == nullptr || *host == '\\0' || port == 0) {",
        "if (host == nullptr || *host == '\\0') {",
        "tests/test_room_settings.py::TestProxyAndEnvironment",
    ),
    fault(
        "an empty proxy password counts as one",
        "sdk/settings",
        "    proxy_has_password_ = password != nullptr && *password != '\\0';",
        "    proxy_has_password_ = password != nullptr;",
        "tests/test_room_settings.py::TestProxyAndEnvironment",
    ),
    # mirelo/: the binding and the Python helpers.
    fault(
        "SEI payload passed one byte short",
        "mirelo",
        "return qolt_cloud_->SendSeiMessage(message_type, buffer, static_cast<size_t>(length));",
        "return qolt_cloud_->SendSeiMessage(message_type, buffer, static_cast<size_t>(length) - (length > 1));",
        f"{ROOM_STREAMS}::TestSei",
    ),
    fault(
        "a custom message the SDK refused is reported as sent",
        "mirelo",
        "        return sent ? 1 : 0;",
        "        return 1;",
        "tests/test_cloud.py",
    ),
    fault(
        "a delegate handler's SystemExit is reported",
        "mirelo",
        '        "except SystemExit:\\n"',
        '        "except GeneratorExit:\\n"',
        "tests/test_delegate_events.py::test_a_handler_that_calls_sys_exit_is_not_reported_but_the_sdk_still_gets_it",
    ),
    fault(
        "the event buffer drops the newest media event",
        "mirelo",
        "            self._media.popleft()\n            self._media.append(entry)",
        "            self._media.pop()\n            self._media.append(entry)",
        "tests/test_aio.py",
    ),
]


class Interrupted(Exception):
    pass


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def find_site(item: Fault) -> tuple[Path | None, str]:
    """The one file under the fault's folder that holds its snippet once, or None and why not."""
    folder = ROOT / item.folder
    hits: list[tuple[Path, int]] = []
    for path in sorted(folder.rglob("*")):
        relative = path.relative_to(ROOT).as_posix()
        if not path.is_file() or path.suffix not in SOURCE_SUFFIXES or relative in EXCLUDED:
            continue
        count = path.read_text(encoding="utf-8").count(item.snippet)
        if count:
            hits.append((path, count))
    total = sum(count for _, count in hits)
    if total != 1:
        where = ", ".join(f"{p.relative_to(ROOT)} x{c}" for p, c in hits) or "nowhere"
        return None, f"snippet found {total} times under {item.folder}/ ({where})"
    return hits[0][0], ""


def changed_lines(before: str, after: str) -> int:
    diff = difflib.ndiff(before.splitlines(), after.splitlines())
    return sum(1 for line in diff if line.startswith("- "))


def configure(build: Build, log: Path) -> bool:
    if (build.directory / "build.ninja").exists():
        return True
    command = [
        str(VENV / "bin" / "cmake"),
        "-S",
        str(ROOT),
        "-B",
        str(build.directory),
        "-G",
        "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={VENV / 'bin' / 'ninja'}",
        "-DCMAKE_BUILD_TYPE=Debug",
        f"-DCMAKE_CXX_FLAGS_DEBUG={build.optimization}",
        f"-DMIRELO_EXTRA_FLAGS={build.flags}",
        f"-DPython_EXECUTABLE={VENV / 'bin' / 'python'}",
        f"-Dpybind11_DIR={PYBIND11_DIR}",
    ]
    return run_logged(command, log)


def run_logged(command: list[str], log: Path) -> bool:
    with log.open("a") as out:
        out.write(f"$ {' '.join(command)}\n")
        out.flush()
        return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode == 0


def rebuild(build: Build, log: Path) -> bool:
    """Builds the native targets incrementally and stages them with the Python sources, so that the
    tests import the package from the stage; the installed package is never touched."""
    if not configure(build, log) or not run_logged([str(VENV / "bin" / "cmake"), "--build", str(build.directory)], log):
        return False
    package = build.stage / "mirelo"
    package.mkdir(parents=True, exist_ok=True)
    for built in (build.directory / "mirelo").glob("*.so"):
        shutil.copy2(built, package / built.name)
    for source in (ROOT / "mirelo").iterdir():
        if source.is_file():
            shutil.copy2(source, package / source.name)
    return True


def run_tests(build: Build, tests: tuple[str, ...], log: Path) -> str:
    """'passed', 'failed', 'hung' or 'error' (pytest could not run them)."""
    command = [str(VENV / "bin" / "pytest"), "-x", "-q", "-p", "no:cacheprovider", *tests]
    env = dict(os.environ, PYTHONPATH=str(build.stage), **build.environment())
    with log.open("a") as out:
        out.write(f"$ {' '.join(command)}\n")
        out.flush()
        child = subprocess.Popen(
            command, cwd=ROOT, env=env, stdout=out, stderr=subprocess.STDOUT, start_new_session=True
        )
        try:
            status = child.wait(timeout=TEST_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
            return "hung"
        except BaseException:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
            raise
    if status == 0:
        return "passed"
    if status in (1, SANITIZER_EXIT) or status < 0:  # tests failed, a race was seen, or the process crashed
        return "failed"
    return "error"


def try_fault(item: Fault, log: Path) -> str:
    path, why = find_site(item)
    if path is None:
        log.write_text(why + "\n")
        return "site-not-found"
    original = path.read_text(encoding="utf-8")
    mutated = original.replace(item.snippet, item.replacement, 1)
    if changed_lines(original, mutated) != 1:
        log.write_text("the replacement must change exactly one line\n")
        return "site-not-found"
    log.write_text(f"{path.relative_to(ROOT)}\n")
    try:
        path.write_text(mutated, encoding="utf-8")
        if not rebuild(item.build, log):
            return "build-failed"
        outcome = run_tests(item.build, item.tests, log)
    finally:
        path.write_text(original, encoding="utf-8")
    return {"passed": "SURVIVED", "failed": "killed", "hung": "killed (hang)", "error": "test-error"}[outcome]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", help="run only the faults whose name contains one of these")
    parser.add_argument("--exclude", action="append", default=[], help="leave out the faults whose name contains this")
    parser.add_argument("--list", action="store_true", help="list the faults and whether their sites are found")
    parser.add_argument("--no-baseline", action="store_true", help="skip the run of every selection without faults")
    args = parser.parse_args()
    chosen = [
        f
        for f in FAULTS
        if (not args.names or any(n in f.name for n in args.names)) and not any(n in f.name for n in args.exclude)
    ]
    if args.list:
        for item in chosen:
            path, why = find_site(item)
            print(f"{item.name:70} {path.relative_to(ROOT) if path else why}")
        return 0
    signal.signal(signal.SIGTERM, _interrupt)
    LOG_DIR.mkdir(parents=True, exist_ok=True)
    began = time.monotonic()
    results: list[tuple[Fault, str, float]] = []
    try:
        if not args.no_baseline:
            for build in dict.fromkeys(item.build for item in chosen):
                log = LOG_DIR / f"baseline-{build.name}.log"
                log.write_text("")
                selection = tuple(dict.fromkeys(test for item in chosen if item.build == build for test in item.tests))
                if not rebuild(build, log) or run_tests(build, selection, log) != "passed":
                    print(f"the selections fail without any fault: see {log}")
                    return 1
                print(f"baseline passed in build/{build.name} ({time.monotonic() - began:.0f} s)", flush=True)
        for index, item in enumerate(chosen):
            started = time.monotonic()
            log = LOG_DIR / f"{index:02d}.log"
            outcome = try_fault(item, log)
            results.append((item, outcome, time.monotonic() - started))
            print(
                f"{outcome:15} {time.monotonic() - started:5.0f} s  {item.folder}: {item.name}  ({log.name})",
                flush=True,
            )
    except KeyboardInterrupt:
        print("interrupted: sources restored", flush=True)
        return 130
    bad = [r for r in results if not r[1].startswith("killed")]
    print(f"{len(results) - len(bad)} of {len(results)} faults killed in {time.monotonic() - began:.0f} s")
    for item, outcome, _ in bad:
        print(f"  {outcome}: {item.folder}: {item.name}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
