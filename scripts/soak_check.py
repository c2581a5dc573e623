"""The soak's checker: did every box record reach a sink exactly once, in order?

Each simulated box numbers its records in its first channel ("Seq_<box>" in the combined job);
a box started again numbers from the next million (its epoch), so no number is ever sent twice.
A sink is read as segments (a viewer's connection and header, a recording's run and header, an
MQTT run and header); within a segment, the lines are taken in order, and for each box:

- a line whose values all equal the line before is the hub's repeat of the last record (every
  2000 ms without a new one): allowed, counted as "repeat" (viewers only; the recording and MQTT
  carry no repeats, so there it is a duplicate unless every box holds its place);
- the repeat publishes the combined record as it stands, so while one box is silent and the
  others talk it carries the silent box's last number again beside the others' newest ones: on
  a viewer, a box's number equal to its last one in a line that came at least REPEAT_GAP after
  the line before is that repeat (a new record comes with every box's next record, about a
  second apart here), counted as "repeat". The repeat does not wait for the boxes that had
  given their record before it: the record the merge then publishes may carry the same number
  once more (the record itself, shown first by the repeat), counted as "repeat" too;
- a value of 0 (viewers) or null (recording, MQTT) is a lost box holding its place: "held";
- the first number of a box in a segment: "start" (what came before went to an earlier segment,
  a hub restart or a run that started again);
- n + 1 after n: delivered;
- the same number again, or a lower one (outside a whole-line repeat): a DUPLICATE (or ORDER);
- a higher number with a gap: allowed as "away" when the box was away in between (it held its
  place, its epoch changed, or the hub counted a new connection of it); allowed as "replaced"
  when the hub's own count of that box's records that the merge replaced before publishing
  (replacedRecords in /status, the first sample after the line) covers the run's gaps so far;
  otherwise the missing records are LOST.
"""

from __future__ import annotations

import bisect
import dataclasses
from typing import Callable, Optional

EPOCH = 1_000_000  # each start of a box numbers its records from the next multiple of this
REPEAT_GAP = 1.9  # seconds: the hub repeats after 2000 ms without a publication


def epoch_of(number: float) -> int:
    return int(number) // EPOCH


@dataclasses.dataclass
class Line:
    """One combined record as a sink got it: when, and each box's number (None: held)."""
    at: float
    numbers: dict  # box -> float or None


@dataclasses.dataclass
class Segment:
    name: str  # e.g. "viewer#3 header 1": what starts afresh here
    run_key: str  # the hub run whose health counts this segment's replacements
    lines: list
    repeats_allowed: bool = True


@dataclasses.dataclass
class Finding:
    kind: str  # "lost", "duplicate", "order"
    box: int
    at: float
    count: int
    detail: str


@dataclasses.dataclass
class SinkResult:
    counts: dict = dataclasses.field(default_factory=dict)  # kind -> count (exceptions and good)
    findings: list = dataclasses.field(default_factory=list)

    def add(self, kind: str, n: int = 1) -> None:
        self.counts[kind] = self.counts.get(kind, 0) + n


class Health:
    """What the hub's /status said over time: per box, its connections and replaced records."""

    def __init__(self) -> None:
        self.times: dict = {}  # run_key -> sorted times of its samples
        self.boxes: dict = {}  # run_key -> {box: (connections, replaced)} of each sample

    def add(self, run_key: str, at: float, boxes: dict) -> None:
        times = self.times.setdefault(run_key, [])
        i = bisect.bisect_right(times, at)
        times.insert(i, at)
        self.boxes.setdefault(run_key, []).insert(i, boxes)

    def _after(self, run_key: str, at: float):
        times = self.times.get(run_key, [])
        if not times:
            return None
        return self.boxes[run_key][min(bisect.bisect_left(times, at), len(times) - 1)]

    def _before(self, run_key: str, at: float):
        i = bisect.bisect_right(self.times.get(run_key, []), at) - 1
        return self.boxes[run_key][i] if i >= 0 else None

    def replaced_by(self, run_key: str, box: int, at: float) -> int:
        boxes = self._after(run_key, at)
        return boxes.get(box, (0, 0))[1] if boxes else 0

    def reconnected(self, run_key: str, box: int, since: float, until: float) -> bool:
        before, after = self._before(run_key, since), self._after(run_key, until)
        if before is None or after is None:
            return before is None  # no sample before: the box may have come and gone unseen
        return after.get(box, (0, 0))[0] > before.get(box, (0, 0))[0]


def check_segments(segments: list, health: Health,
                   where: Callable[[float], str] = lambda at: "") -> SinkResult:
    result = SinkResult()
    gaps_so_far: dict = {}  # (run_key, box) -> records missing while connected, so far
    for segment in segments:
        last: dict = {}  # box -> (number, at)
        away: dict = {}  # box -> held since its last number
        previous: Optional[dict] = None
        previous_at = None
        shown_in_repeat: dict = {}  # box -> its last number came first in a repeat line
        for line in segment.lines:
            repeat_line = segment.repeats_allowed and previous_at is not None and \
                line.at - previous_at >= REPEAT_GAP
            previous_at = line.at
            real = [n for n in line.numbers.values() if n is not None]
            if previous is not None and line.numbers == previous:
                if segment.repeats_allowed or not real:
                    result.add("repeat")
                    continue
            previous = line.numbers
            for box, number in sorted(line.numbers.items()):
                shown = last.get(box)
                if number is not None and shown is not None and shown[0] == number and \
                        (repeat_line or shown_in_repeat.get(box)):
                    shown_in_repeat[box] = False  # once: the record itself after its repeat
                    result.add("repeat")
                    continue
                shown_in_repeat[box] = repeat_line
                _check_one(segment, line, box, number, last, away, health, gaps_so_far, result,
                           where)
    return result


def _check_one(segment, line, box, number, last, away, health, gaps_so_far, result, where):
    if number is None:
        result.add("held")
        away[box] = True
        return
    if box not in last:
        result.add("start")
        last[box] = (number, line.at)
        away[box] = False
        return
    before, before_at = last[box]
    last[box] = (number, line.at)
    was_away = away.get(box, False)
    away[box] = False
    if number == before + 1:
        result.add("delivered")
    elif number <= before:
        kind = "duplicate" if number == before else "order"
        result.findings.append(Finding(
            kind, box, line.at, 1,
            f"{segment.name}: {number:.0f} after {before:.0f} {where(line.at)}"))
        result.add(kind)
    elif was_away or epoch_of(number) != epoch_of(before) or \
            health.reconnected(segment.run_key, box, before_at, line.at):
        result.add("away", int(number - before - 1) if epoch_of(number) == epoch_of(before) else 1)
        result.add("delivered")
    else:
        missing = int(number - before - 1)
        key = (segment.run_key, box)
        budget = health.replaced_by(segment.run_key, box, line.at) - gaps_so_far.get(key, 0)
        covered = max(0, min(missing, budget))
        gaps_so_far[key] = gaps_so_far.get(key, 0) + covered
        result.add("replaced", covered)
        result.add("delivered")
        if missing > covered:
            result.add("lost", missing - covered)
            result.findings.append(Finding(
                "lost", box, line.at, missing - covered,
                f"{segment.name}: {number:.0f} after {before:.0f}, {missing - covered} not "
                f"accounted for {where(line.at)}"))


# ---- reading the sinks --------------------------------------------------------------------------

def seq_columns(names: list) -> dict:
    """Combined column of each box's sequence channel, from names such as "Seq_3"."""
    columns = {}
    for i, name in enumerate(names):
        if name.startswith("Seq_") and name[4:].isdigit():
            columns[int(name[4:])] = i
    return columns


def viewer_segments(connections: list, run_key_at: Callable[[float], str]) -> list:
    """Segments of a viewer: `connections` is a list of lists of (at, text line)."""
    segments = []
    for number, received in enumerate(connections):
        columns, segment, headers = None, None, 0
        names_pending = []
        for at, text in received:
            if text.startswith("#"):
                if text.startswith("#") and not text.startswith("# ") and not text.startswith("##"):
                    names_pending = text[1:].split()
                continue
            if names_pending:
                headers += 1
                columns = seq_columns(names_pending)
                names_pending = []
                segment = Segment(f"viewer connection {number + 1} header {headers}",
                                  run_key_at(at), [])
                segments.append(segment)
            if segment is None or not text[:1].isdigit():
                continue
            values = text.split()[2:]
            numbers = {}
            for box, column in columns.items():
                if column < len(values):
                    value = float(values[column])
                    numbers[box] = value if value != 0 else None
            segment.lines.append(Line(at, numbers))
    return segments


def named_numbers(values: dict) -> dict:
    numbers = {}
    for name, value in values.items():
        if name.startswith("Seq_") and name[4:].isdigit():
            numbers[int(name[4:])] = None if value is None else float(value)
    return numbers
