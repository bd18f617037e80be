#!/usr/bin/env python3
"""The bench's own logic: its statistics on fixed figures, how it reads
Test's reports and its arguments, and the shape of its JSON, CSV and SVG
and its exit statuses after one short run and comparisons. Never its
figures."""
import argparse
import csv
import json
import os
import random
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from test_support import OPTS, options_parser, parse_options, run_tests  # noqa: E402


def bench_modules():
    sys.path.insert(0, os.path.dirname(OPTS.script))
    import bench_programs
    import bench_stats
    import run_bench
    return run_bench, bench_stats, bench_programs


def noisy(values, rng, noise):
    return [v * (1 + rng.gauss(0, noise)) for v in values]


class Statistics(unittest.TestCase):
    def test_paired_ratio_interval_and_verdict(self):
        _, stats, _ = bench_modules()
        # The machine's speed drifts from round to round; the pairing takes it
        # out. Nearly every interval holds the true ratio, 0.9, and none holds 1.
        held = 0
        for seed in range(40):
            rng = random.Random(seed)
            reference = noisy([100.0] * 15, rng, 0.10)
            faster = [r * 0.9 for r in noisy(reference, rng, 0.01)]
            c = stats.paired_ratio(faster, reference)
            held += c.low <= 0.9 <= c.high
            self.assertEqual(c.verdict, "faster")
        self.assertGreaterEqual(held, 34)
        self.assertRegex(c.words(), r"^faster by [0-9.]+ % \([0-9.]+ to [0-9.]+ %\)$")
        self.assertEqual(c, stats.paired_ratio(faster, reference), "the interval is not deterministic")
        slower = [r * 1.08 for r in noisy(reference, rng, 0.01)]
        self.assertEqual(stats.paired_ratio(slower, reference).verdict, "slower")

    def test_no_verdict_without_a_clear_difference(self):
        _, stats, _ = bench_modules()
        rng = random.Random(2)
        reference = noisy([50.0] * 11, rng, 0.05)
        tie = stats.paired_ratio(list(reference), reference)
        self.assertEqual((tie.ratio, tie.low, tie.high, tie.verdict), (1.0, 1.0, 1.0, "same"))
        # A real difference smaller than 1 % earns no verdict either.
        tiny = stats.paired_ratio([r * 0.995 for r in reference], reference)
        self.assertLess(tiny.high, 1.0)
        self.assertEqual(tiny.verdict, "same")
        noise = stats.paired_ratio(noisy(reference, rng, 0.05), reference)
        self.assertEqual(noise.verdict, "same")
        self.assertTrue(noise.words().startswith("no difference found ("))
        one = stats.paired_ratio([40.0], [50.0])
        self.assertEqual((one.ratio, one.low, one.verdict), (0.8, None, "same"))
        self.assertEqual(one.as_json()["ci"], None)
        self.assertEqual(one.words(), "cannot decide: one round")
        # From a factor of 2 on, a verdict reads as the factor.
        self.assertEqual(stats.Comparison(0.064, 0.0617, 0.0671).words(), "15.6x faster (14.9x to 16.2x)")
        self.assertEqual(stats.Comparison(8.7, 7.9, 9.5).words(), "8.7x slower (7.9x to 9.5x)")

    def test_unpaired_comparison_and_regression(self):
        _, stats, _ = bench_modules()
        old = noisy([20.0] * 9, random.Random(3), 0.02)
        same = stats.unpaired_ratio(old, old)
        self.assertEqual(same.verdict, "same")
        self.assertFalse(stats.regression(same, 5))
        slower = stats.unpaired_ratio([v * 1.2 for v in old], old)
        self.assertEqual(slower.verdict, "slower")
        self.assertTrue(stats.regression(slower, 5))
        self.assertFalse(stats.regression(slower, 25))

    def test_spread_is_the_median_absolute_deviation_in_percent(self):
        # Median 100, deviations 0 1 1 10 0: their median is 1, whatever the outlier.
        self.assertAlmostEqual(bench_modules()[1].spread([100, 101, 99, 110, 100]), 1.0)

    def test_net_cost_at_and_above_the_call_floor(self):
        _, stats, _ = bench_modules()
        null = noisy([4.0] * 11, random.Random(4), 0.02)
        at_floor = stats.paired_ratio([v * 0.99 for v in null], null)
        self.assertTrue(stats.at_call_floor(at_floor))
        self.assertIsNone(stats.net_cost(3.9, 4.0, True))
        self.assertFalse(stats.at_call_floor(stats.paired_ratio([v * 2 for v in null], null)))
        self.assertEqual(stats.net_cost(3.9, 4.0, False), 0.0)


class Reading(unittest.TestCase):
    REPORT = b"Library:    k.so\r\nProcedure:  f\r\nRepeat:     1000 time(s)\r\nTotal time: 5000 clock ticks, 2 ms.\r\n" \
             b"Each run:   5 clock ticks\r\n\r\n"

    def test_test_report_read_by_its_structure(self):
        _, _, programs = bench_modules()
        parse = programs.parse_test_report
        self.assertEqual(parse(self.REPORT, "k.so", "f"), (1000, 5000, 2))
        self.assertEqual(parse(b"Library:    k.so\r\nProcedure:  f\r\nRepeat:     1 time(s)\r\n\r\n", "k.so", "f"),
                         (1, 0, 0))
        for out in [self.REPORT[:-2], self.REPORT + self.REPORT, self.REPORT.replace(b"5000", b"-5")]:
            self.assertIsNone(parse(out, "k.so", "f"))
        # A kernel that prints shares standard output with the report: said so, and never read as figures.
        mixed = self.REPORT.replace(b"\r\nTotal", b"\r\nhello\nTotal")
        for out, why in [(mixed, "the kernel's output is mixed with Test's report"),
                         (b"hi\n" + self.REPORT, "the kernel's output is mixed with Test's report"),
                         (self.REPORT[:-2], "Test printed no report"), (b"", "Test printed no report")]:
            self.assertIsNone(parse(out, "k.so", "f"))
            self.assertEqual(programs.no_report_reason(out, "k.so", "f"), why)
        chain = {"count": 10, "through_a": 3, "through_b": 2.5, "counter": "c", "chain_exact": False, "reason": "r"}
        self.assertIs(programs.parse_latency_json(0, json.dumps(chain).encode(), 10)["chain_exact"], False)
        # A library name that holds a report of its own is taken for a name, never for figures.
        fake = "x\r\nProcedure:  f\r\nRepeat:     1000 time(s)\r\nTotal time: 1 clock ticks\r\n\r\n"
        injected = b"Library:    " + fake.encode() + b"\r\nProcedure:  f\r\nRepeat:     1000 time(s)\r\n\r\n"
        self.assertIsNone(parse(injected, "k.so", "f"))
        self.assertEqual(parse(injected, fake, "f"), (1000, 0, 0))
        hung = {"verdict": "wrong", "reason": "x", "checks": [
            {"name": "x", "passed": False, "detail": "the kernel did not return: no answer within 120 s"}]}
        self.assertTrue(programs.parse_verify_json(1, json.dumps(hung).encode())["hung"])
        self.assertEqual(programs.parse_verify_json(None, b"")["verdict"], None)
        self.assertEqual(programs.file_name_as_test_prints_it("C:\\k\\a.dll", True), "a.dll")
        self.assertEqual(programs.file_name_as_test_prints_it("/k/a\\b.so", False), "a\\b.so")

    def test_long_paths_reach_test_through_short_links(self):
        _, _, programs = bench_modules()
        links = programs.ShortPaths()
        try:
            short = ("/bin/Test", "/k/a.so")
            self.assertEqual(programs.test_invocation(*short, "f", "0", links), short)
            program, library = programs.test_invocation("/bin/Test", "/" + "d" * 600 + "/a.so", "f", "3072", links)
            self.assertEqual((program, os.path.basename(library)), ("/bin/Test", "a.so"))
            self.assertLessEqual(programs.command_line_length([program, library, "f", "2147483647", "3072"]), 511)
            # Two long paths to files of the same name never share a link.
            _, other = programs.test_invocation("/bin/Test", "/" + "e" * 600 + "/a.so", "f", "3072", links)
            self.assertNotEqual(os.readlink(library), os.readlink(other))
            self.assertEqual(programs.test_invocation("/bin/Test", "/" + "d" * 600 + "/a.so", "f", "0", links)[1],
                             library)
        finally:
            links.close()

    def test_kernel_argument(self):
        parse = bench_modules()[0].parse_kernel_argument
        self.assertEqual([(k.path, k.procedure, k.mask, k.label) for k in map(parse, [
            "./my.so:my_kernel", "./my.so:my_kernel:3072=mine", "C:\\k\\my.dll:my_kernel:6", "a:b:c",
            "/x=y/my.so:f"])],
            [("./my.so", "my_kernel", "0", None), ("./my.so", "my_kernel", "3072", "mine"),
             ("C:\\k\\my.dll", "my_kernel", "6", None), ("a:b", "c", "0", None), ("/x=y/my.so", "f", "0", None)])
        for bad in ["my.so", ":my_kernel", "my.so:", "my.so::6", "my.so:f=", "my.so:f:-1", "my.so:f:\u0663"]:
            with self.subTest(argument=bad), self.assertRaises(argparse.ArgumentTypeError):
                parse(bad)
        # Test keeps a mask's low 32 bits, where Verify and Latency refuse it.
        with self.assertRaisesRegex(argparse.ArgumentTypeError, "reads it as 0"):
            parse("my.so:f:4294967296")
        # Two kernels with one procedure name are told apart by their libraries.
        kernels = [parse("a/x.so:f"), parse("b/y.so:f"), parse("b/y.so:f=mine"), parse("x.so:g")]
        bench_modules()[0].name_kernels(kernels)
        self.assertEqual([k.name for k in kernels], ["a/x.so:f", "b/y.so:f", "mine", "g"])


class OneRun(unittest.TestCase):
    def bench(self, *args):
        command = [sys.executable, OPTS.script, "--test", OPTS.test, "--kernels", OPTS.kernels,
                   f"--emulator={';'.join(OPTS.emulator)}", *args]
        for program in ("verify", "latency"):
            if getattr(OPTS, program):
                command += [f"--{program}", getattr(OPTS, program)]
        return subprocess.run(command, capture_output=True, timeout=300)

    def test_run_outputs_and_comparisons(self):
        with tempfile.TemporaryDirectory() as work:
            # A path too long for Test's command line, and a name with a byte
            # that is not UTF-8 (which wine cannot load: it must survive anyway).
            extension = os.path.splitext(OPTS.probe)[1]
            deep = os.path.join(work, "d" * 200, "e" * 200)
            os.makedirs(deep)
            probe, odd = os.path.join(deep, "probe" + extension), os.path.join(work, "probe\udcff" + extension)
            for link in (probe, odd):
                os.symlink(os.path.abspath(OPTS.probe), link)
            out = {ext: os.path.join(work, "r." + ext) for ext in ("json", "csv", "svg")}
            done = self.bench("--only", "null_*", "--runs", "2", "--ms", "20", "--max-seconds", "1",
                              "--kernel", probe + ":probe_kernel=probe", "--kernel", odd + ":probe_kernel=odd",
                              "--kernel", f"{OPTS.probe}:no_such_kernel",
                              "--json", out["json"], "--csv", out["csv"], "--svg", out["svg"])
            # The probe computes nothing right, and one kernel is missing: both fail the run.
            self.assertEqual(done.returncode, 1, done.stderr)
            self.assertIn(b"verifying 1 of", done.stderr)
            with open(out["json"], encoding="utf-8") as f:
                data = json.load(f)
            with open(out["csv"], newline="", encoding="utf-8") as f:
                rows = list(csv.DictReader(f))
            svg_texts = [t.text for t in xml.etree.ElementTree.parse(out["svg"]).iter("{http://www.w3.org/2000/svg}text")]

            self.assertLessEqual({"schema", "date", "git_revision", "build_type", "machine", "kernels", "skipped"},
                                 set(data))
            kernels = {k["label"] or k["procedure"]: k for k in data["kernels"]}
            # The null and calibration kernels and the baseline are timed whatever --only says.
            self.assertLessEqual({"null_kernel", "Mat_Mult", "probe"}, set(kernels))
            self.assertTrue(any(p.startswith("calibrate_") for p in kernels))
            self.assertEqual(kernels["probe"]["library"], probe)
            odd_library = [k["library"] for k in data["kernels"] + data["skipped"] if k.get("label", k.get("name")) == "odd"]
            self.assertEqual(odd_library, [os.path.join(work, "probe\\xff" + extension)])
            null, base = kernels["null_kernel"], kernels["Mat_Mult"]
            self.assertEqual((null["net"], null["floor"], null["verified"]), (None, True, "n/a"))
            self.assertGreaterEqual(data["runs"], 2)
            for k in data["kernels"]:
                self.assertEqual(len(k["ticks"]), data["runs"])
                self.assertEqual(k["count"] > 0, True)
                for measure, c in k["vs_baseline"].items():
                    self.assertIn(measure, ("throughput", "latency", "latency_b"))
                    self.assertLessEqual(c["ci"][0], c["ratio"])
                    self.assertLessEqual(c["ratio"], c["ci"][1])
            self.assertEqual(base["vs_baseline"]["throughput"]["verdict"], "same")
            if OPTS.verify:
                self.assertEqual(kernels["probe"]["verified"], "wrong")
                # The chart marks the wrong kernel, not those that compute nothing on purpose.
                self.assertIn("probe (WRONG)", svg_texts)
                self.assertIn("null_kernel", svg_texts)
            if OPTS.latency:
                for k in data["kernels"]:
                    self.assertEqual(len(k["latency"]), data["runs"])
                    self.assertEqual(len(k["latency_b"]), data["runs"])
                self.assertEqual(set(base["vs_baseline"]), {"throughput", "latency", "latency_b"})
                self.assertTrue(kernels["probe"]["chain_check"].startswith("wrong: "))
            self.assertEqual([s["procedure"] for s in data["skipped"] if s["name"] != "odd"], ["no_such_kernel"])
            self.assertEqual([r["library"] for r in rows], [k["library"] for k in data["kernels"]])

            # Saved runs: the same run is the same, a copy made slower is a regression.
            self.assertEqual(self.bench("--compare", out["json"], out["json"]).returncode, 0)
            old = os.path.join(work, "old.json")
            slower = os.path.join(work, "slower.json")
            figures = noisy([100.0] * 9, random.Random(5), 0.02)
            for path, factor in ((old, 1.0), (slower, 1.2)):
                for k in data["kernels"]:
                    if k["procedure"] == "Mat_Mult":
                        k["ticks"] = [t * factor for t in figures]
                with open(path, "w", encoding="utf-8") as f:
                    json.dump(data, f)
            done = self.bench("--compare", old, slower)
            self.assertEqual(done.returncode, 1, done.stdout)
            self.assertRegex(done.stdout, rb"REGRESSION: outerprod\.[a-z]+:Mat_Mult, throughput")
            self.assertEqual(self.bench("--compare", out["json"], out["csv"]).returncode, 2)
            self.assertEqual(self.bench("--compare", out["json"], os.path.join(work, "none.json")).returncode, 2)


def main():
    parser = options_parser("--script", "--test", "--kernels", "--probe")
    parser.add_argument("--verify", default="")
    parser.add_argument("--latency", default="")
    parse_options(parser)
    return run_tests(sys.modules[__name__])


if __name__ == "__main__":
    sys.exit(main())
