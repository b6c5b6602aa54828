"""The loopback's limits: configure refuses what it does not accept, naming the accepted range, and
the README's Limits table agrees with the library's own definitions."""

import math
import re
from fractions import Fraction
from pathlib import Path
from typing import Any

import pytest

from mirelo import loopback

INF, NAN = math.inf, math.nan


def accepted_range(name: str) -> str:
    low, high, _ = loopback.limits()["configure"][name]
    return f"{low:g}..{high:g}" if isinstance(low, float) else f"{low}..{high}"


@pytest.mark.parametrize(
    "name, value",
    [
        # configure(network_quality_interval=inf) raised OverflowError, 1e300 struct.error.
        *[("network_quality_interval", value) for value in (INF, -INF, NAN, 1e300, 10**400, 0, -1, 0.004, 86401, True)],
        *[("custom_message_loss", value) for value in (INF, NAN, -0.1, 1.5, Fraction(3, 2), True)],
        *[("journal_entries", value) for value in (0, -5, 10**7 + 1, 2**64, 10**400, True, False, 5.0, INF, NAN)],
        ("journal_payload_bytes", -1),
        ("journal_payload_bytes", 2**63),
        ("media_queue_bound", 0),
        ("media_queue_bound", 2**20 + 1),
        ("audio_buffer_ms", 9),
        ("audio_buffer_ms", 1e300),
        ("custom_message_seed", -1),
        ("journal_frame_payloads", 2),
    ],
)
def test_configure_refuses_a_number_it_does_not_accept_with_the_accepted_range(
    loopback_config: Any, name: str, value: Any
) -> None:
    before = loopback.configuration()
    with pytest.raises(ValueError, match=rf"^{name} must be .* within {re.escape(accepted_range(name))}, not "):
        loopback_config(**{name: value})
    assert loopback.configuration() == before


@pytest.mark.parametrize(
    "name, value", [("journal_entries", "10"), ("network_quality_interval", b"1"), ("media_queue_bound", [1])]
)
def test_configure_refuses_what_is_not_a_number_with_type_error(loopback_config: Any, name: str, value: Any) -> None:
    with pytest.raises(TypeError, match=name):
        loopback_config(**{name: value})


def test_one_refused_value_leaves_the_others_unchanged(loopback_config: Any) -> None:
    before = loopback.configuration()
    with pytest.raises(ValueError, match="media_queue_bound"):
        loopback_config(journal_entries=5, media_queue_bound=0)
    assert loopback.configuration() == before


def test_configure_accepts_both_ends_of_every_range(loopback_config: Any) -> None:
    for name, (low, high, default) in loopback.limits()["configure"].items():
        for value in (low, high, default):
            loopback_config(**{name: value})
            assert loopback.configuration()[name] == value


# The README's Limits table: every limit the library publishes has a row, and each row's numbers are
# the library's (a fixed limit's value; a tunable's default, minimum and maximum, in that order).

README = Path(__file__).resolve().parent.parent / "README.md"
QUANTITY = re.compile(r"2\^63-1|(\d[\d,]*(?:\.\d+)?)(?:\s*(KiB|MiB))?")
UNITS = {None: 1, "KiB": 2**10, "MiB": 2**20}
NOT_LIMITS = {
    "custom_message_seed",
    "journal_frame_payloads",
    "event_threads",
    "event_stall_ms",
}  # tunables, but they bound nothing


def limits_table() -> list[list[str]]:
    section = README.read_text(encoding="utf-8").split("\n## Limits\n", 1)[1].split("\n## ", 1)[0]
    rows = [
        [cell.strip() for cell in line.strip("|").split(" | ")]
        for line in section.splitlines()
        if line.startswith("| ")
    ]
    assert rows[0] == ["Limit", "Value", "At the limit", "Counted in"]
    return rows[1:]


def quantities(text: str) -> list[float]:
    found = []
    for match in QUANTITY.finditer(text):
        if match.group(0) == "2^63-1":
            found.append(2**63 - 1)
        else:
            number = float(match.group(1).replace(",", "")) * UNITS[match.group(2)]
            found.append(int(number) if number.is_integer() else number)
    return found


def expected_numbers(name: str, published: dict[str, Any]) -> list[Any]:
    if name in published["configure"]:
        default, low, high = (published["configure"][name][i] for i in (2, 0, 1))
        return [default, low, high]
    value = published[name]
    return list(value) if isinstance(value, tuple) else [value]


def test_the_readme_limits_table_holds_every_limit_with_the_librarys_numbers() -> None:
    published = loopback.limits()
    names = (set(published) - {"configure"}) | (set(published["configure"]) - NOT_LIMITS)
    shown = set()
    for limit, value, _, _ in limits_table():
        row_names = [name for name in re.findall(r"`(\w+)`", limit) if name in names]
        expected = [number for name in row_names for number in expected_numbers(name, published)]
        assert quantities(value) == expected, (limit, value)
        shown.update(row_names)
    assert shown == names


def test_the_readme_limits_table_counts_in_fields_that_exist(cloud: Any) -> None:
    stats, retention = loopback.stats()[cloud.handle], loopback.retention()
    for limit, _, _, counted in limits_table():
        for where, field in re.findall(r'`(stats|retention)\(\)(?:\[\w+\])?(?:\["(\w+)"\])?', counted):
            assert field in (stats if where == "stats" else retention), (limit, counted)
        for part, field in re.findall(r'`retention\(\)\["(\w+)"\]\["(\w+)"\]`', counted):
            assert field in retention[part], (limit, counted)
