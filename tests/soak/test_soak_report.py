#!/usr/bin/env python3
"""Checks of the soak verdicts on made-up run leftovers: python3 tests/soak/test_soak_report.py"""
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soak_report as r  # noqa: E402


def doc(event, **msg):
    if event is not None:
        msg["event_id"] = event
    return json.dumps({"send_time": "x", "message": msg})


class Parsing(unittest.TestCase):
    def test_stat_dumps_take_each_dump_whole_and_skip_log_lines(self):
        text = "\n".join([
            "[1.0][tsk0][x:1]MALLOC_IN_USE_TIMES(not this): 9",  # inside a log line
            "MALLOC_IN_USE_TIMES(malloc memory times that not free yet): 3",
            "RCV_HIGH(msg rcv from high queue): 10",
            "[2.0][tsk0][y:2]config mtime change",
            "MALLOC_IN_USE_TIMES(malloc memory times that not free yet): 1",
            "NET_UPLOAD_OVERLIMIT(net upload error count): -2",
            "TASK_FILTER_UPLOAD_LIMIT_SEC_CNT(task upload over second limit cnt): 7",
        ])
        dumps = r.parse_stat_dumps(text)
        self.assertEqual(len(dumps), 2)
        self.assertEqual(dumps[0], {"MALLOC_IN_USE_TIMES": 3, "RCV_HIGH": 10})
        self.assertEqual(dumps[1]["NET_UPLOAD_OVERLIMIT"], -2)
        self.assertNotIn("RCV_HIGH", dumps[1])  # nothing carried over from an older dump
        self.assertEqual(r.parse_stat_dumps("RCV_HIGH(x): 1\n"), [])  # no dump start

    def test_kivhost_summary(self):
        one = ("kivhost: 1.0 s, 3 documents, 40 bytes, 0 uploads refused\n"
               "  PROC_EXEC                2\n  APP_LOG                  1\nkivhost: sensor log\n")
        two = one + "noise\nkivhost: 9.5 s, 0 documents, 0 bytes, 2 uploads refused\nend\n"
        rows = [
            (one, (3, 40, 0, {"PROC_EXEC": 2, "APP_LOG": 1})),
            (two, (0, 0, 2, {})),  # the last summary counts
            ("kivhost: sensor started\n", None),
            ("kivhost: 1.0 s, 3 documents, 40 bytes\n", None),  # cut short
        ]
        for text, want in rows:
            self.assertEqual(r.parse_kivhost_summary(text), want, text)

    def test_documents_by_type_and_storm_tag(self):
        lines = [
            doc("PROCESS_CREATION", process_id=5, process_createtime=50,
                process_cmd_line="/bin/true T-p0", parent_pcmd_line="x"),
            # The tag in the parent only: a child of a storm process, not one of them.
            doc("PROCESS_CREATION", process_id=6, process_createtime=60,
                process_cmd_line="sh", parent_pcmd_line="/bin/true T-p1"),
            doc("PROCESS_EXIT", process_id=5, process_createtime=50),
            doc("FILE_RENAMING", file_name="/tmp/d/T-f3.php.moved"),
            doc("FILE_RENAMING", file_name="/tmp/d/T-f3.php"),
            doc(None, line="12:00 soak app T-l7 99"),
            doc("DNS_QUERY", query_name="T-q2.soak.test", process_cmd_line="python3 T-p9"),
            "{not json",
            json.dumps({"no": "message"}),
            doc("NEW_THING", process_id=7),
        ]
        with tempfile.NamedTemporaryFile("w", suffix=".ndjson", delete=False) as f:
            f.write("\n".join(lines) + "\n")
        try:
            types, bad, seen, procs, exits, by_pid = r.read_documents(f.name, "T")
        finally:
            os.unlink(f.name)
        self.assertEqual(bad, 2)
        self.assertEqual(types["PROC_EXEC"], 2)
        self.assertEqual(types["FILE_MOVE"], 2)
        self.assertEqual(types["APP_LOG"], 1)
        self.assertEqual(types["NEW_THING"], 1)
        self.assertEqual(dict(seen[("PROCESS_CREATION", "p")]), {"0": 1})
        self.assertEqual(dict(seen[("FILE_RENAMING", "f")]), {"3": 2})
        self.assertEqual(dict(seen[("APP_LOG", "l")]), {"7": 1})
        # A DNS document is matched on its name, not on its process's command line.
        self.assertEqual(dict(seen[("DNS_QUERY", "q")]), {"2": 1})
        self.assertNotIn(("DNS_QUERY", "p"), seen)
        self.assertEqual(procs, {(5, 50)})
        self.assertEqual(exits[(5, 50)], 1)
        self.assertEqual(by_pid[5], {"PROCESS_CREATION(?)", "PROCESS_EXIT(?)"})


class Memory(unittest.TestCase):
    def test_slope_and_warm_up(self):
        rows = [
            ([(0, 100), (10, 100), (20, 100)], 0.0),
            ([(0, 0), (1, 1), (2, 2), (3, 3)], 3600.0),  # 1 kB/s
            ([(0, 5), (1, 3), (2, 1)], -7200.0),
            ([(0, 1), (1, 2)], None),  # too few
            ([(4, 1), (4, 2), (4, 3)], None),  # no time went by
        ]
        for pts, want in rows:
            got = r.slope_per_hour(pts)
            if want is None:
                self.assertIsNone(got, pts)
            else:
                self.assertAlmostEqual(got, want, places=6, msg=pts)
        # Warm-up: growth for two thirds of the run and a flat end judge flat; growth that
        # goes on to the end does not.
        pts = [(t, 1000 + 50 * min(t, 120)) for t in range(0, 190, 10)]
        tail = r.after_warm_up(pts)
        self.assertEqual(tail[0][0], 120)  # samples 0..180 s: from 120 s on
        self.assertAlmostEqual(r.slope_per_hour(tail), 0.0)
        leak = [(t, 1000 + t) for t in range(0, 190, 10)]
        self.assertAlmostEqual(r.slope_per_hour(r.after_warm_up(leak)), 3600.0)
        self.assertEqual(r.after_warm_up([]), [])

    def test_verdict_release_and_asan(self):
        # 30 minutes of samples growing 10 MB/h to the end.
        rows = [(t, 50000 + t * 10 * 1024 // 3600, 0, 10, 0) for t in range(0, 1810, 10)]
        flat_dumps = [{"MALLOC_FOR_HASH": 6 << 20} for _ in range(16)]
        growing = [{"MALLOC_FOR_HASH": (6 << 20) + i * (1 << 20)} for i in range(16)]
        ok, detail = r.memory_verdict(rows, flat_dumps, 1.0)
        self.assertFalse(ok, detail)  # release: the resident size is what counts
        asan_rows = [row[:4] + (30000,) for row in rows]
        ok, detail = r.memory_verdict(asan_rows, flat_dumps, 1.0)
        self.assertTrue(ok, detail)  # ASan: the library's own memory is flat
        self.assertIn("ASan tree", detail)
        ok, detail = r.memory_verdict(asan_rows, growing, 1.0)
        self.assertFalse(ok, detail)  # 1 MB a dump: 30 MB/h
        ok, detail = r.memory_verdict(asan_rows, flat_dumps[:2], 1.0)
        self.assertFalse(ok, detail)
        ok, detail = r.memory_verdict(rows[:30], flat_dumps, 1.0)
        self.assertTrue(ok, detail)  # five minutes: shown, not judged
        self.assertIn("too short", detail)


BALANCED = {
    "TASK_EXEC_EVENT": 100, "TASK_CREATE_UPLOAD_SUC_CNT": 95, "TASK_FILTER_REDO_CNT": 5,
    "FILE_EVENT_CNT": 50, "FILE_UPLOAD_EVENT_SUC": 44, "FILE_CLOSEWRITE_EVENT_CNT": 10,
    "FILE_CLOSEWRITE_EVENT_MATCH": 4, "FILE_EVENT_LIMIT_TEN_MINU": 2,
    "NET_TOTAL_CAP": 40, "NET_TOTAL_UPLOAD": 10, "NET_ESTABLISH_CAP": 8, "NET_DNSA_CAP": 2,
    "NET_UPLOAD_MERGE": 20,
}
# 44 file documents of which 4 are renames (8 documents): 40 records out, 6 + 2 dropped,
# 2 built only.
KV = {"PROC_EXEC": 95, "FILE_MOVE": 8, "FILE_CRATE": 36, "NET_CONNECT": 10}


class Ledgers(unittest.TestCase):
    def test_balance_per_module(self):
        def ok(changes, built_only=2, cut=0):
            stats = dict(BALANCED, **changes)
            return [row[-1] for row in r.ledgers(stats, KV, built_only, cut)]

        rows = [
            ({}, 2, [True, True, True]),
            # Creations are shown, not judged: queries add documents, re-executions take some.
            ({"TASK_CREATE_UPLOAD_SUC_CNT": 97}, 2, [True, True, True]),
            ({"TASK_CREATE_UPLOAD_SUC_CNT": 94}, 2, [True, True, True]),
            ({}, 0, [True, False, True]),  # the built-only records unexplained
            ({"FILE_EVENT_CNT": 51}, 2, [True, False, True]),
            ({"NET_TOTAL_CAP": 39}, 2, [True, True, False]),  # more out than in
            ({"NET_TOTAL_CAP": 41, "NET_UPLOAD_OVERLIMIT": 1}, 2, [True, True, True]),
        ]
        for changes, built, want in rows:
            self.assertEqual(ok(changes, built), want, (changes, built))
        # Records the stop freed unpaired balance the ledger, read from the sensor's own line.
        log = "x\n[1.0][tsk0][net_release_resource:9]3 network records still waiting for " \
              "their pair at stop, not uploaded\n"
        self.assertEqual(r.cut_at_stop(log), 3)
        self.assertEqual(r.cut_at_stop("nothing"), 0)
        self.assertEqual(ok({"NET_TOTAL_CAP": 43}, 2, r.cut_at_stop(log)), [True, True, True])
        self.assertEqual(ok({"NET_TOTAL_CAP": 43}, 2), [True, True, False])

    def test_library_counters_against_kivhost(self):
        got = {row[0]: row[-1] for row in r.uploads_vs_host(BALANCED, KV)}
        self.assertTrue(got["PROC_EXEC"] and got["FILE_*"] and got["NET_*/DNS"])
        self.assertTrue(got["upload failures"])
        got = {row[0]: row[-1] for row in r.uploads_vs_host(
            dict(BALANCED, FILE_UPLOAD_EVENT_FAIL=1), dict(KV, PROC_EXEC=94))}
        self.assertFalse(got["PROC_EXEC"] or got["upload failures"])


class Storm(unittest.TestCase):
    def rows(self, seen, done, procs=(), exits=None, stats=None):
        out = r.storm_rows(done, seen, set(procs), exits or {}, stats or {})
        return {row[0]: row for row in out}

    def test_missing_duplicated_and_foreign_ids(self):
        two = {"0": 1, "1": 1}
        cases = [
            # seen, done, counted drops, (documents, dup, missing, ok)
            (two, 2, {}, (2, 0, 0, True)),
            (two, 3, {}, (2, 0, 1, False)),  # lost, nothing counted
            (two, 3, {"TASK_FILTER_UPLOAD_LIMIT_SEC_CNT": 1}, (2, 0, 1, True)),  # lost, counted
            # A repeat filter cannot hold back a distinct command line: not an excuse.
            (two, 3, {"TASK_FILTER_REDO_CNT": 1}, (2, 0, 1, False)),
            ({"0": 2, "1": 1}, 2, {}, (2, 1, 0, False)),  # one reported twice
            ({"0": 1, "1": 1, "7": 1}, 2, {}, (3, 0, 0, False)),  # not the storm's
        ]
        for seen, done, stats, want in cases:
            row = self.rows({("PROCESS_CREATION", "p"): seen}, {"proc": done}, stats=stats)
            self.assertEqual(row["processes"][2:5] + row["processes"][6:], want, (seen, done))

    def test_two_documents_per_rename_and_typed_creation(self):
        row = self.rows({("FILE_RENAMING", "f"): {"0": 2}, ("FILE_CREATION", "f"): {"0": 2}},
                        {"file_rename": 1, "file_create": 1})
        self.assertTrue(row["files renamed"][-1] and row["files created"][-1])
        row = self.rows({("FILE_RENAMING", "f"): {"0": 3}}, {"file_rename": 1})
        self.assertFalse(row["files renamed"][-1])

    def test_each_storm_process_exits_once(self):
        procs = [(1, 10), (2, 20), (3, 30)]
        cases = [
            ({(1, 10): 1, (2, 20): 1, (3, 30): 1}, {}, True),
            ({(1, 10): 1, (2, 20): 2, (3, 30): 1}, {}, False),
            ({(1, 10): 1, (2, 20): 1}, {}, False),
            ({(1, 10): 1, (2, 20): 1}, {"EXIT_EVENT_DROP_CNT": 1}, True),
            ({(1, 10): 1, (2, 20): 1, (3, 31): 1}, {}, False),  # same pid, other process
        ]
        for exits, stats, want in cases:
            row = self.rows({}, {}, procs, exits, stats)["their exits"]
            self.assertEqual(row[-1], want, exits)

    def test_missing_processes_name_their_pid(self):
        seen = {("PROCESS_CREATION", "c"): {"0": 1}}
        got = r.missing_processes({"tcp_proc": 3}, seen, {"c1": 41, "c0": 40},
                                  {41: {"PROCESS_EXIT(bash)", "PROCESS_CREATION(python3)"}})
        self.assertEqual(got, [("c1", 41, "PROCESS_CREATION(python3),PROCESS_EXIT(bash)"),
                               ("c2", "?", "none")])


class Sanitizer(unittest.TestCase):
    def test_report_files_and_echoed_reports(self):
        with tempfile.TemporaryDirectory() as d:
            open(os.path.join(d, "asan.1"), "w").close()  # empty: nothing found
            self.assertEqual(r.sanitizer_reports(d, "all quiet"), [])
            with open(os.path.join(d, "asan.2"), "w") as f:
                f.write("==2==ERROR: LeakSanitizer: detected memory leaks\n")
            self.assertEqual(len(r.sanitizer_reports(d, "")), 1)
            found = r.sanitizer_reports(d, "x.cpp:3:5: runtime error: shift exponent\n")
            self.assertEqual([p for p, _ in found][1:], ["kivhost.err"])


if __name__ == "__main__":
    unittest.main()
