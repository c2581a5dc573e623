"""The soak checker's own test: a made-up sink that loses one record and duplicates one."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import soak_check  # noqa: E402

E = soak_check.EPOCH


def viewer_lines(rows, start=0.0):
    """Data lines of two boxes (0 for a box that holds its place), one a second."""
    header = [(start, "#  Quintrel Job Data"), (start, "#Seq_0 Pressure_0 Seq_1 Pressure_1")]
    return header + [(start + i + 1, f"12/10/26 06:41:{i:02d} {a}.0000 5.0 {b}.0000 5.0")
                     for i, (a, b) in enumerate(rows)]


def health(replaced=0, connections=1):
    h = soak_check.Health()
    for at in range(0, 40):
        h.add("run", float(at), {0: (connections, replaced), 1: (connections, 0)})
    return h


class CheckerTest(unittest.TestCase):
    def check(self, rows, h=None):
        segments = soak_check.viewer_segments([viewer_lines(rows)], lambda at: "run")
        return soak_check.check_segments(segments, h or health())

    def test_a_lost_and_a_duplicated_record_are_both_found(self):
        rows = [(E, E), (E + 1, E + 1), (E + 3, E + 2), (E + 4, E + 2), (E + 5, E + 3)]
        result = self.check(rows)
        kinds = sorted((f.kind, f.box, f.count) for f in result.findings)
        self.assertEqual(kinds, [("duplicate", 1, 1), ("lost", 0, 1)])

    def test_the_rules_exceptions_are_counted_not_reported(self):
        rows = [(E, E), (E + 1, E + 1), (E + 1, E + 1),  # the 2000 ms repeat
                (0, E + 2), (0, E + 3), (2 * E, E + 4),  # box 0 away, started again
                (2 * E + 3, E + 5)]  # a gap the hub counted as replaced by the merge
        result = self.check(rows, health(replaced=2))
        self.assertEqual(result.findings, [])
        self.assertEqual(result.counts["repeat"], 1)
        self.assertEqual(result.counts["held"], 2)
        self.assertEqual(result.counts["away"], 1)
        self.assertEqual(result.counts["replaced"], 2)

    def test_a_repeat_shows_a_silent_box_again_and_the_others_records_once_early(self):
        lines = [soak_check.Line(at, {0: a, 1: b}) for at, a, b in
                 [(1.0, E, E), (3.0, E, E + 1), (3.5, E + 1, E + 1), (4.5, E + 2, E + 1)]]
        result = soak_check.check_segments([soak_check.Segment("viewer", "run", lines)], health())
        self.assertEqual([(f.kind, f.box, f.at) for f in result.findings], [("duplicate", 1, 4.5)])
        self.assertEqual(result.counts["repeat"], 2)

    def test_replacements_beyond_the_hubs_count_are_lost(self):
        result = self.check([(E, E), (E + 4, E + 1)], health(replaced=1))
        self.assertEqual([(f.kind, f.count) for f in result.findings], [("lost", 2)])

    def test_a_repeat_is_a_duplicate_where_the_sink_has_no_repeats(self):
        segment = soak_check.Segment("recording", "run", [
            soak_check.Line(1.0, {0: E, 1: E}), soak_check.Line(2.0, {0: E, 1: E})], False)
        result = soak_check.check_segments([segment], health())
        self.assertEqual(sorted(f.kind for f in result.findings), ["duplicate", "duplicate"])


if __name__ == "__main__":
    unittest.main()
