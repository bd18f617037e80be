#!/usr/bin/env python3
"""The bench's own logic: its statistics on fixed figures, how it reads
Test's reports and its arguments, and the shape of its JSON, CSV and SVG
and its exit statuses after one short run and comparisons. Never its
figures."""
import argparse
import csv
import json
import math
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from test_support import (OPTS, SANITIZED_NO_MODEL, options_parser, parse_options, read_kernel_list,  # noqa: E402
                          run_tests)


def bench_modules():
    sys.path.insert(0, os.path.dirname(OPTS.script))
    import bench_programs
    import bench_stats
    import run_bench
    return run_bench, bench_stats, bench_programs


def svg_text_elements(path):
    return [t.text for t in xml.etree.ElementTree.parse(path).iter("{http://www.w3.org/2000/svg}text")]


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

    def test_between_runs_drift_and_noise(self):
        _, stats, _ = bench_modules()
        # The drift is each measure's median log ratio, seen from 3 kernels
        # on; the one kernel that changed (0.3) does not swell the noise.
        drift = stats.run_drift({"throughput": [0.02, 0.01, 0.3, 0.03], "latency": [0.3, 0.0]})
        self.assertEqual((drift.shift["throughput"], drift.shift["latency"]), (0.025, None))
        self.assertLess(drift.noise, 0.03)
        self.assertIsNone(stats.run_drift({"throughput": [0.1, 0.2]}).noise)
        # Two runs of six kernels, each run at its own machine speed (±10 %)
        # and each kernel off by 1 % from run to run: an unchanged build, or
        # one kernel 3 % slower, is never a regression beyond 5 %; 20 %
        # slower always is.
        for factor, expected in ((1.0, []), (1.03, []), (1.2, [5])):
            for seed in range(30):
                rng = random.Random(seed)
                runs = []
                for factors in ([1.0] * 6, [1.0] * 5 + [factor]):
                    speed = rng.uniform(0.9, 1.1)
                    runs.append([noisy([f * speed * rng.gauss(1, 0.01) * c] * 11, rng, 0.03)
                                 for f, c in zip(factors, (4, 14, 20, 60, 100, 1000))])
                within = [stats.unpaired_ratio(new, old) for old, new in zip(*runs)]
                drift = stats.run_drift({"throughput": [math.log(c.ratio) for c in within]})
                found = [i for i, c in enumerate(within)
                         if stats.regression(stats.between_runs(c, drift, "throughput"), 5)]
                self.assertEqual(found, expected, f"factor {factor}, seed {seed}")

    def test_against_the_best_peer(self):
        run_bench, _, _ = bench_modules()
        rng = random.Random(7)
        # (name, role, throughput, latency through a, through b), 15 rounds
        # at a speed that drifts from round to round.
        speed = noisy([1.0] * 15, rng, 0.05)
        rows = (("null_kernel", "null", 4, 5, 5), ("calibrate_1000_adds", "calibration", 1200, 1100, 1100),
                ("Mat_Mult", "baseline", 130, 150, 120), ("Mat_Mult_AVX2", "", 9, 27.5, 27.6),
                ("fast", "peer", 10, 30, 25), ("slow_a", "peer", 12, 27.5, 24), ("wrong", "peer", 5, 5, 5))
        results = []
        for name, role, *medians in rows:
            kernel = run_bench.Kernel(library=name + ".so", path=name + ".so", procedure=name, role=role,
                                      product="none" if role in ("null", "calibration") else "a*b",
                                      adds=1000 if role == "calibration" else None, name=name)
            figures = {m: [v * s for v, s in zip(noisy([median] * 15, rng, 0.002), speed)]
                       for m, median in zip(("throughput", "latency", "latency_b"), medians)}
            results.append(run_bench.KernelResult(kernel=kernel, verdict="wrong" if name == "wrong" else "correct",
                                                  figures=figures))
        run_bench.summarise(results, "Mat_Mult")
        against = {r.kernel.name: {m: (peer, c.verdict) for m, (peer, c) in r.vs_best_peer.items()} for r in results}
        # The fastest peer in each measure, a wrong one never; peers and the
        # kernels that compute nothing are compared with none.
        self.assertEqual(against["Mat_Mult_AVX2"], {"throughput": ("fast", "faster"), "latency": ("slow_a", "same"),
                                                    "latency_b": ("slow_a", "slower")})
        self.assertEqual(against["Mat_Mult"]["throughput"], ("fast", "slower"))
        for name in ("null_kernel", "calibrate_1000_adds", "fast", "slow_a", "wrong"):
            self.assertEqual(against[name], {}, name)
        lines = run_bench.bench_output.leader_lines(results)
        self.assertRegex(lines[0], r"^Fastest throughput: Mat_Mult_AVX2, 0\.90x fast \(0\.\d\dx to 0\.\d\dx\): "
                                   r"leads with confidence$")
        self.assertTrue(lines[1].endswith(": no difference found"), lines[1])
        self.assertTrue(lines[2].startswith("Fastest through b: Mat_Mult_AVX2, 1.15x slow_a"), lines[2])

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


class Rounds(unittest.TestCase):
    """The statistics the rounds end on, from fixed figures: no timing."""

    @staticmethod
    def results(rounds, noise):
        """(null, calibration of 1000 adds, baseline, kernel) with fixed
        medians, each figure off by up to ±noise."""
        run_bench = bench_modules()[0]
        rng = random.Random(8)
        results = []
        for name, role, ticks in (("null_kernel", "null", 4.0), ("calibrate", "calibration", 2004.0),
                                  ("Mat_Mult", "baseline", 64.0), ("fast", "", 24.0)):
            kernel = run_bench.Kernel(library="k.so", path="k.so", procedure=name, role=role, name=name,
                                      product="none" if role in ("null", "calibration") else "a*b",
                                      adds=1000 if role == "calibration" else None)
            figures = {"throughput": [ticks * rng.uniform(1 - noise, 1 + noise) for _ in range(rounds)],
                       "latency": [2 * ticks] * rounds}
            results.append(run_bench.KernelResult(kernel=kernel, verdict="correct", figures=figures))
        return results

    def test_calibration_gives_core_cycles(self):
        run_bench = bench_modules()[0]
        results = self.results(11, 0.0)
        null, calibration, cycles_per_tick = run_bench.summarise(results, "Mat_Mult")
        # 1000 adds in 2000 ticks more than the call: half a core cycle a tick.
        self.assertEqual((null.kernel.name, calibration.kernel.name, cycles_per_tick),
                         ("null_kernel", "calibrate", 0.5))
        fast = results[3]
        # Throughput's cycles are the net cost's, latency's the raw median's.
        self.assertEqual((fast.net, fast.summary["throughput"].core_cycles, fast.summary["latency"].core_cycles),
                         (20.0, 10.0, 24.0))
        self.assertIsNone(run_bench.summarise(results[:1] + results[2:], "Mat_Mult")[2])

    def test_rounds_stop_at_the_precision_or_the_time(self):
        run_bench = bench_modules()[0]
        for noise, short in ((0.0, []), (0.2, ["null_kernel", "calibrate", "fast"])):
            results = self.results(11, noise)
            run_bench.summarise(results, "Mat_Mult")
            imprecise = run_bench.short_of_target(results, "Mat_Mult", 2.0)
            self.assertEqual([name for name, _ in imprecise], short, noise)
        self.assertEqual({m for _, widths in imprecise for m, _ in widths}, {"throughput"})
        # Precise enough, or the next round would end past --max-seconds: stop.
        self.assertEqual([run_bench.last_round(imprecise, elapsed, 10, 300) for elapsed in (200, 290, 291)],
                         [False, False, True])
        self.assertTrue(run_bench.last_round([], 0, 10, 300))


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
        # A library name that holds a report of its own is taken for a name, never for figures.
        fake = "x\r\nProcedure:  f\r\nRepeat:     1000 time(s)\r\nTotal time: 1 clock ticks\r\n\r\n"
        injected = b"Library:    " + fake.encode() + b"\r\nProcedure:  f\r\nRepeat:     1000 time(s)\r\n\r\n"
        self.assertIsNone(parse(injected, "k.so", "f"))
        self.assertEqual(parse(injected, fake, "f"), (1000, 0, 0))
        self.assertEqual(programs.file_name_as_test_prints_it("C:\\k\\a.dll", True), "a.dll")
        self.assertEqual(programs.file_name_as_test_prints_it("/k/a\\b.so", False), "a\\b.so")

    def test_verify_and_latency_read_by_their_fields(self):
        _, _, programs = bench_modules()
        # Facts come from the fields, never from the words of a reason.
        verify = {"verdict": "not run", "reason": "lacks nothing, did not return", "checks": [],
                  "missing_features": ["AVX512F"], "returned": True}
        self.assertEqual([programs.parse_verify_json(2, json.dumps(v).encode())[field] for v, field in (
            (verify, "missing_features"), (verify, "hung"), (dict(verify, returned=False), "hung"),
            (dict(verify, missing_features=[]), "missing_features"))], [["AVX512F"], False, True, []])
        self.assertEqual(programs.parse_verify_json(None, b"")["verdict"], None)
        chain = {"count": 10, "through_a": 3, "through_b": 2.5, "counter": "c", "chain_exact": False, "reason": "r",
                 "missing_features": [], "computes_nothing": False}
        run_bench, _, _ = bench_modules()
        product, nothing = (run_bench.Kernel(library=f"{p}.so", path=f"{p}.so", procedure=p, product=p)
                            for p in ("a*b", "none"))
        read = programs.parse_latency_json(0, json.dumps(chain).encode(), 10)
        # A chain that ended elsewhere makes a product kernel wrong; a kernel
        # that computes nothing, judged by a Latency whose own list lacks it,
        # is not.
        self.assertEqual((run_bench.chain_wrong(product, read), run_bench.chain_wrong(nothing, read)), ("r", ""))
        # A kernel that faults in a chain ends Latency before its figures: still wrong, with the fault.
        chain.update(through_b=None, reason="the kernel raised a segmentation fault (SIGSEGV) in the chain through b")
        read = programs.parse_latency_json(1, json.dumps(chain).encode(), 10)
        self.assertEqual(read, {"chain_exact": False, "reason": chain["reason"]})
        self.assertEqual(run_bench.chain_wrong(nothing, read), chain["reason"])

    def test_executable_header_and_windows_loader(self):
        _, _, programs = bench_modules()
        pe32 = b"MZ" + bytes(0x3A) + (0x40).to_bytes(4, "little") + b"PE\0\0" + (0x14C).to_bytes(2, "little")
        headers = {"elf64": b"\x7fELF\x02\x01" + bytes(12) + (62).to_bytes(2, "little"),
                   "arm64": b"\x7fELF\x02\x01" + bytes(12) + (183).to_bytes(2, "little"),
                   "pe32": pe32, "text": b"#!/bin/sh\n"}
        with tempfile.TemporaryDirectory() as work:
            paths = {}
            for name, head in headers.items():
                paths[name] = os.path.join(work, name)
                with open(paths[name], "wb") as f:
                    f.write(head)
            self.assertEqual({name: programs.executable_architecture(path) for name, path in paths.items()},
                             {"elf64": ("elf", "x86_64"), "arm64": ("elf", "aarch64"), "pe32": ("pe", "i686"),
                              "text": (None, None)})
            if shutil.which("cmake") is None:
                self.skipTest("no cmake to run the loader's module")
            # The loader is the build's module's choice for the program's width, or plain wine without it.
            module = os.path.join(work, "wine.cmake")
            for line, expected in (("loader=/opt/wine${MATMUL_WINE_BITS}", ("/opt/wine32", None)),
                                   ("cannot=no 32-bit wine", (None, "no 32-bit wine"))):
                with open(module, "w") as f:
                    f.write(f'execute_process(COMMAND ${{CMAKE_COMMAND}} -E echo "{line}")\n')
                self.assertEqual(programs.wine_loader(paths["pe32"], module), expected)
            self.assertEqual(programs.wine_loader(paths["pe32"], os.path.join(work, "none.cmake")), ("wine", None))
            self.assertEqual(programs.wine_loader(paths["elf64"], module), ("wine", None))

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
        # The programs keep a mask's low 32 bits: the bench would show another mask than they use.
        with self.assertRaisesRegex(argparse.ArgumentTypeError, "would read it as 0"):
            parse("my.so:f:4294967296")
        # Two kernels with one procedure name are told apart by their libraries.
        kernels = [parse("a/x.so:f"), parse("b/y.so:f"), parse("b/y.so:f=mine"), parse("x.so:g")]
        bench_modules()[0].name_kernels(kernels)
        self.assertEqual([k.name for k in kernels], ["a/x.so:f", "b/y.so:f", "mine", "g"])


class CommandLine(unittest.TestCase):
    """What the bench makes of its arguments and kernel lists, stopping at
    --list or an error: no program runs."""
    LIST = ("# build type: Release\nnull.so\tnull_kernel\t0\tnone\t-\tnull\n"
            "outer.so\tMat_Mult\t0\ta*b\touterprod\tbaseline\nfast.so\tMat_Mult_AVX2\t3072\ta*b\t-\t-\n")

    def bench(self, *args):
        """The bench on a build of three listed kernels and another build of
        two; returns (exit status, standard output, standard error)."""
        with tempfile.TemporaryDirectory() as work:
            for directory, text in ((work, self.LIST), (os.path.join(work, "other"), self.LIST.split("outer")[0] +
                                                         "mine.so\tmy_kernel\t6\ta*b\tinnerprod\tpeer\n")):
                os.makedirs(directory, exist_ok=True)
                with open(os.path.join(directory, "kernels.txt"), "w") as f:
                    f.write(text)
            open(os.path.join(work, "Test"), "w").close()
            done = subprocess.run([sys.executable, OPTS.script, "--test", os.path.join(work, "Test"), "--no-model",
                                   "--kernel-list", os.path.join(work, "other", "kernels.txt"), *args],
                                  capture_output=True, text=True, timeout=60)
        return done.returncode, done.stdout.replace(work, "WORK"), done.stderr

    def test_list_holds_another_builds_kernels_by_their_paths(self):
        status, out, _ = self.bench("--list")
        self.assertEqual(status, 0)
        self.assertEqual(out.splitlines()[1:], [
            "null.so\tnull_kernel\t0\tnone\t-\tnull\tnull.so:null_kernel",
            "outer.so\tMat_Mult\t0\ta*b\touterprod\tbaseline\tMat_Mult",
            "fast.so\tMat_Mult_AVX2\t3072\ta*b\t-\t-\tMat_Mult_AVX2",
            "WORK/other/null.so\tnull_kernel\t0\tnone\t-\tnull\tWORK/other/null.so:null_kernel",
            "WORK/other/mine.so\tmy_kernel\t6\ta*b\tinnerprod\tpeer\tmy_kernel"])
        # --only keeps the kernels that compute nothing, the baseline and every
        # kernel of another list, asked for by name as --kernel's are.
        _, out, _ = self.bench("--list", "--only", "Mat_Mult_AVX2")
        self.assertEqual([line.split("\t")[-1] for line in out.splitlines()[1:]],
                         ["null.so:null_kernel", "Mat_Mult", "Mat_Mult_AVX2", "WORK/other/null.so:null_kernel",
                          "my_kernel"])

    def test_unknown_or_ambiguous_kernels_are_refused(self):
        for args, message in ((["--baseline", "nope"], "no kernel 'nope' to compare with (see --list)"),
                              (["--baseline", "null_kernel"], "--baseline 'null_kernel' names several kernels"),
                              (["--only", "Mat_*", "x*", "y"], "no kernel matches x*, y (see --list)"),
                              (["--kernel-list", "none.txt"], "--kernel-list none.txt: ")):
            with self.subTest(args=args):
                status, out, err = self.bench("--list", *args)
                self.assertEqual((status, out), (2, ""))
                self.assertIn(f"error: {message}", err)


class SavedRuns(unittest.TestCase):
    """--compare on saved runs the test writes: six kernels, 15 rounds of
    fixed figures each with 0.3 % noise."""
    KERNELS = (("null_kernel", "null", 4.0), ("calibrate_1000_adds", "calibration", 1000.0),
               ("Mat_Mult", "baseline", 60.0), ("Mat_Mult_AVX2", None, 14.0), ("Mat_Mult_SSE", None, 20.0),
               ("CGLM_mat4_AVX2", "peer", 15.0))

    def saved_run(self, factors=None, rounds=15):
        """factors: kernel name -> what all its figures are multiplied by."""
        rng = random.Random(6)
        kernels = []
        for name, role, ticks in self.KERNELS:
            factor = (factors or {}).get(name, 1.0)
            figures = {measure: [v * factor for v in noisy([ticks * scale] * rounds, rng, 0.003)]
                       for measure, scale in (("ticks", 1.0), ("latency", 1.5), ("latency_b", 1.3))}
            kernels.append({"name": name, "role": role, "label": None, "library": f"{name.lower()}.so",
                            "procedure": name, "rounding": [],
                            "verified": "n/a" if role in ("null", "calibration") else "correct", **figures})
        return {"schema": 3, "machine": {"processor": "P", "core_hz": 3e9}, "kernels": kernels}

    def compare(self, old, new, *args):
        with tempfile.TemporaryDirectory() as work:
            paths = [os.path.join(work, name) for name in ("old.json", "new.json")]
            for path, data in zip(paths, (old, new)):
                with open(path, "w", encoding="utf-8") as f:
                    json.dump(data, f)
            done = subprocess.run([sys.executable, OPTS.script, "--compare", *paths, *args], capture_output=True,
                                  text=True, timeout=60)
        self.assertNotIn("Traceback", done.stderr)
        return done

    def test_malformed_files_are_refused_naming_the_field(self):
        def kernel(data):
            return data["kernels"][3]

        cases = [("latency", lambda d: kernel(d).update(latency=["12", "13"]), 'element 0 is "12", not a number'),
                 ("latency", lambda d: kernel(d).update(latency="abc"), '"abc" is not a list'),
                 ("latency", lambda d: kernel(d).update(latency=[None, 3]), "element 0 is null, not a number"),
                 ("latency", lambda d: kernel(d).update(latency={}), "{} is not a list"),
                 ("label", lambda d: kernel(d).update(label=["x"]), '["x"] is not a string or null'),
                 ("label", lambda d: kernel(d).update(label=5), "5 is not a string or null"),
                 ("rounding", lambda d: kernel(d).update(rounding=5), "5 is not a list or null"),
                 ("machine", lambda d: d.update(machine=None), "null is not an object"),
                 ("ticks", lambda d: kernel(d)["ticks"].__setitem__(2, math.nan), "element 2 is NaN, not a finite"),
                 ("ticks", lambda d: kernel(d)["ticks"].__setitem__(0, -14.0), "element 0 is -14.0, not a finite"),
                 ("ticks", lambda d: kernel(d)["ticks"].__setitem__(0, 0), "element 0 is 0, not a finite"),
                 ("ticks", lambda d: kernel(d)["ticks"].__setitem__(0, math.inf), "element 0 is Infinity, not"),
                 ("ticks", lambda d: kernel(d)["ticks"].__setitem__(0, True), "element 0 is true, not a number"),
                 ("ticks", lambda d: kernel(d).update(ticks=[]), "empty"),
                 ("schema", lambda d: d.update(schema=99), "99 is not one this bench reads"),
                 ("", lambda d: d["kernels"].append(dict(kernel(d))), "listed twice")]
        for field, damage, problem in cases:
            with self.subTest(field=field, problem=problem):
                bad = self.saved_run()
                damage(bad)
                done = self.compare(self.saved_run(), bad)
                self.assertEqual(done.returncode, 2, done.stdout)
                # One line: the file, the kernel (by its name, else library and procedure) and the field.
                where = "" if field in ("machine", "schema") else r"kernel \S*Mat_Mult_AVX2: "
                where += f"field {field}: " if field else ""
                self.assertRegex(done.stderr, rf"^\S+ \S+new\.json: {where}[^\n]*{re.escape(problem)}[^\n]*\n$")

    def test_warnings_say_what_differs_between_the_runs(self):
        new = self.saved_run({"null_kernel": 1.10})
        new["machine"]["processor"] = "Q"
        new["kernels"][3]["rounding"] = ["fma"]
        done = self.compare(self.saved_run(), new)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertEqual(re.findall(r"^- Warning: (.*)\.$", done.stdout, re.M), [
            "the runs come from different processors: P and Q",
            "Mat_Mult_AVX2: rounding models changed from none to fma: not the same kernel",
            "the machine's speed changed between the runs: a call of the null kernel took 4.00 ticks in the old "
            "run and 4.40 in the new"])

    def test_a_regression_is_one_beyond_the_threshold_between_runs(self):
        old = self.saved_run()
        done = self.compare(old, self.saved_run({"Mat_Mult_AVX2": 1.06}))
        self.assertEqual(done.returncode, 1, done.stdout)
        self.assertEqual(re.findall(r"REGRESSION: (\S+), (\w+)", done.stdout),
                         [("Mat_Mult_AVX2", m) for m in ("throughput", "latency", "latency_b")])
        self.assertEqual(self.compare(old, self.saved_run({"Mat_Mult_AVX2": 1.03})).returncode, 0)
        # The comparison with the best peer and the model are read by neither
        # side: a file with them compares with one without, both ways.
        modelled = self.saved_run({"Mat_Mult_AVX2": 1.06})
        modelled["model_tool"] = "llvm-mca 19.1.7"
        for k in modelled["kernels"]:
            k.update(model=None, model_reason="not modelled: --no-model", vs_best_peer={"throughput": {
                "peer": "CGLM_mat4_AVX2", "ratio": 0.9, "ci": [0.8, 1.0], "verdict": "faster"}})
        self.assertEqual(self.compare(old, modelled).returncode, 1)
        self.assertEqual(self.compare(modelled, old).returncode, 0)
        # What every kernel shares is the machine's: a warning, not a regression.
        shifted = self.saved_run({name: 1.10 for name, _, _ in self.KERNELS})
        shifted["machine"]["core_hz"] = 2.7e9
        done = self.compare(old, shifted)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertIn("Machine drift between the runs: throughput +10.0 %", done.stdout)
        self.assertIn("every kernel's throughput, latency and latency_b moved alike", done.stdout)
        self.assertIn("core clock (from the calibration kernel) was about 3.000 GHz", done.stdout)
        # A slowdown every kernel that computes something shares, the call
        # and the clock not, is the code's: it stays in the verdicts.
        slowed = self.saved_run({name: 3.0 for name, role, _ in self.KERNELS if role not in ("null", "calibration")})
        done = self.compare(old, slowed)
        self.assertEqual(done.returncode, 1, done.stdout)
        self.assertIn("but neither the null nor the calibration kernel did", done.stdout)
        # Kernels that compute nothing show the machine, never a regression,
        # in a file that names their roles or in one from before it did.
        idle = self.saved_run({"null_kernel": 1.5, "calibrate_1000_adds": 1.5})
        self.assertEqual(self.compare(old, idle).returncode, 0)
        for k in old["kernels"]:
            del k["name"], k["role"]
        old["schema"] = 2
        self.assertEqual(self.compare(old, idle).returncode, 0)
        # One round decides nothing; a measure one run lacks is listed.
        one = self.saved_run({"Mat_Mult_AVX2": 2.0}, rounds=1)
        one["kernels"][4]["latency_b"] = []
        done = self.compare(self.saved_run(), one)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertIn("| cannot decide: one round |", done.stdout)
        self.assertIn("Only in one run: Mat_Mult_SSE, latency_b (old run only)", done.stdout)
        self.assertEqual(self.compare(old, idle, "--threshold", "nan").returncode, 2)


class OneRun(unittest.TestCase):
    """One short run of a few kernels; each test reads a part of what it left."""

    @staticmethod
    def bench(*args):
        command = [sys.executable, OPTS.script, "--test", OPTS.test, "--kernels", OPTS.kernels,
                   f"--emulator={';'.join(OPTS.emulator)}", *args]
        for program in ("verify", "latency"):
            if getattr(OPTS, program):
                command += [f"--{program}", getattr(OPTS, program)]
        return subprocess.run(command, capture_output=True, timeout=300)

    @classmethod
    def setUpClass(cls):
        cls.temporary = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.temporary.cleanup)
        cls.work = work = cls.temporary.name
        # A path too long for Test's command line, and a name with a byte
        # that is not UTF-8 (which wine cannot load: it must survive anyway).
        extension = os.path.splitext(OPTS.probe)[1]
        deep = os.path.join(work, "d" * 200, "e" * 200)
        os.makedirs(deep)
        cls.probe, odd = os.path.join(deep, "probe" + extension), os.path.join(work, "probe\udcff" + extension)
        cls.odd_library = os.path.join(work, "probe\\xff" + extension)
        for link in (cls.probe, odd):
            os.symlink(os.path.abspath(OPTS.probe), link)
        cls.out = {ext: os.path.join(work, "r." + ext) for ext in ("json", "csv", "svg")}
        # Mat_Mult_AVX2, where the build has it, for its model on a
        # processor every llvm-mca knows.
        cls.modelled = [k["procedure"] for k in read_kernel_list(OPTS.kernels) if k["procedure"] == "Mat_Mult_AVX2"]
        cls.done = cls.bench("--only", "null_*", *cls.modelled, "--mca-cpu", "haswell",
                             "--runs", "2", "--ms", "20", "--max-seconds", "1",
                             "--kernel", cls.probe + ":probe_kernel=probe", "--kernel", odd + ":probe_kernel=odd",
                             "--kernel", f"{OPTS.probe}:no_such_kernel",
                             "--json", cls.out["json"], "--csv", cls.out["csv"], "--svg", cls.out["svg"])
        with open(cls.out["json"], encoding="utf-8") as f:
            cls.data = json.load(f)
        cls.kernels = {k["label"] or k["procedure"]: k for k in cls.data["kernels"]}

    def test_exit_status_and_files_written(self):
        # The probe computes nothing right, and one kernel is missing: both fail the run.
        self.assertEqual(self.done.returncode, 1, self.done.stderr)
        self.assertIn(b"verifying 1 of", self.done.stderr)
        self.assertEqual(self.done.stderr.decode().splitlines()[-3:],
                         [f"wrote the results as {kind}: {self.out[kind.lower()]}" for kind in ("JSON", "CSV")]
                         + [f"wrote the chart: {self.out['svg']}"])
        with open(self.out["csv"], newline="", encoding="utf-8") as f:
            self.assertEqual([r["library"] for r in csv.DictReader(f)], [k["library"] for k in self.data["kernels"]])

    def test_json_holds_each_kernel_timed_and_skipped(self):
        data, kernels = self.data, self.kernels
        self.assertLessEqual({"schema", "date", "git_revision", "build_type", "machine", "kernels", "skipped"},
                             set(data))
        # The null and calibration kernels and the baseline are timed whatever --only says.
        self.assertLessEqual({"null_kernel", "Mat_Mult", "probe"}, set(kernels))
        self.assertTrue(any(p.startswith("calibrate_") for p in kernels))
        self.assertEqual(kernels["probe"]["library"], self.probe)
        odd_library = [k["library"] for k in data["kernels"] + data["skipped"] if k.get("label", k.get("name")) == "odd"]
        self.assertEqual(odd_library, [self.odd_library])
        null, base = kernels["null_kernel"], kernels["Mat_Mult"]
        self.assertEqual((null["net"], null["floor"], null["verified"]), (None, True, "n/a"))
        self.assertEqual((null["name"], null["role"], kernels["probe"]["name"]), ("null_kernel", "null", "probe"))
        self.assertGreaterEqual(data["runs"], 2)
        self.assertEqual({(len(k["ticks"]), k["count"] > 0) for k in data["kernels"]}, {(data["runs"], True)})
        intervals = {(m, c["ci"][0] <= c["ratio"] <= c["ci"][1])
                     for k in data["kernels"] for m, c in k["vs_baseline"].items()}
        self.assertLessEqual(intervals, {(m, True) for m in ("throughput", "latency", "latency_b")})
        self.assertEqual(base["vs_baseline"]["throughput"]["verdict"], "same")
        self.assertEqual([s["procedure"] for s in data["skipped"] if s["name"] not in ("odd", *self.modelled)],
                         ["no_such_kernel"])

    def test_latency_and_chain_check(self):
        if not OPTS.latency:
            self.skipTest("Latency is not built")
        runs = self.data["runs"]
        self.assertEqual({(len(k["latency"]), len(k["latency_b"])) for k in self.data["kernels"]}, {(runs, runs)})
        self.assertEqual(set(self.kernels["Mat_Mult"]["vs_baseline"]), {"throughput", "latency", "latency_b"})
        self.assertTrue(self.kernels["probe"]["chain_check"].startswith("wrong: "))

    def test_chart_marks_wrong_kernels_and_scales_those_that_compute_nothing_apart(self):
        svg_texts = svg_text_elements(self.out["svg"])
        if OPTS.verify:
            self.assertEqual(self.kernels["probe"]["verified"], "wrong")
            # The chart marks the wrong kernel, not those that compute nothing on purpose.
            self.assertIn("probe (WRONG)", svg_texts)
            self.assertIn("null_kernel", svg_texts)
        # The kernels that compute nothing have scales of their own: the
        # product kernels' axis stops short of the calibration kernel.
        nothing = next(i for i, t in enumerate(svg_texts) if t.startswith("Kernels that compute nothing"))
        calibration = next(k for k in self.data["kernels"] if k["role"] == "calibration")
        self.assertGreater(svg_texts.index(calibration["name"]), nothing)
        product_ticks = [float(t) for t in svg_texts[:nothing] if re.fullmatch(r"[0-9.e+-]+", t)]
        self.assertTrue(product_ticks)
        # (Under an emulator the calibration kernel need not be the slowest.)
        if all(k["median"] < calibration["median"] for k in self.data["kernels"] if k["role"] != "calibration"):
            self.assertLess(max(product_ticks), calibration["median"])

    def test_model(self):
        no_model = os.path.join(self.work, "no_model.json")
        done = self.bench("--only", "null_*", "--no-model", "--runs", "1", "--ms", "5", "--max-seconds", "1",
                          "--json", no_model)
        with open(no_model, encoding="utf-8") as f:
            self.assertEqual({(k["model"], k["model_reason"]) for k in json.load(f)["kernels"]},
                             {(None, "not modelled: --no-model")}, done.stderr)
        # The run's model of Mat_Mult_AVX2 on haswell; skipped, with the reason, where there can be none.
        if not self.modelled:
            self.skipTest("this build has no Mat_Mult_AVX2 (an x86 kernel)")
        kernel = self.kernels.get("Mat_Mult_AVX2")
        if kernel is None:
            self.skipTest(f"Mat_Mult_AVX2 was not timed here: {self.data['skipped']}")
        if bench_modules()[0].kernel_model.find_mca() is None:
            self.assertEqual({k["model_reason"] for k in self.data["kernels"]}, {"not modelled: no llvm-mca found"})
            self.skipTest("llvm-mca is not installed (llvm-mca-NN or llvm-mca on the PATH)")
        if OPTS.sanitized:
            self.assertRegex(kernel["model_reason"], "^not modelled: it calls another function")
            self.skipTest(SANITIZED_NO_MODEL)
        self.assertIsNone(kernel["model_reason"])
        self.assertEqual(set(kernel["model"]), {"cpu", "instructions", "uops", "rthroughput", "bottleneck"})
        self.assertEqual(kernel["model"]["cpu"], "haswell")
        self.assertGreater(kernel["model"]["rthroughput"], 0)
        self.assertTrue(self.data["model_tool"].startswith("llvm-mca"))

    def test_saved_runs_compared(self):
        # The same run is the same, a copy made slower is a regression.
        work, data = self.work, json.loads(json.dumps(self.data))
        self.assertEqual(self.bench("--compare", self.out["json"], self.out["json"]).returncode, 0)
        old, slower = (os.path.join(work, name) for name in ("old.json", "slower.json"))
        figures = noisy([100.0] * 9, random.Random(5), 0.02)
        for path, factor in ((old, 1.0), (slower, 1.2)):
            for k in data["kernels"]:
                if k["procedure"] == "Mat_Mult":
                    k["ticks"] = [t * factor for t in figures]
            with open(path, "w", encoding="utf-8") as f:
                json.dump(data, f)
        done = self.bench("--compare", old, slower)
        self.assertEqual(done.returncode, 1, done.stdout)
        self.assertRegex(done.stdout, rb"REGRESSION: Mat_Mult, throughput")
        chart = os.path.join(work, "compare.svg")
        done = self.bench("--compare", old, slower, "--svg", chart)
        self.assertEqual((done.returncode, done.stderr.decode()), (1, f"wrote the comparison chart: {chart}\n"))
        texts = svg_text_elements(chart)
        self.assertEqual((texts.count("old"), texts.count("new")), (len(data["kernels"]),) * 2)
        self.assertTrue(any(t.startswith(f"old: {old}, ") for t in texts), texts[:4])
        self.assertTrue(any(t.startswith(f"new: {slower}, ") for t in texts), texts[:4])
        self.assertEqual(self.bench("--compare", self.out["json"], self.out["csv"]).returncode, 2)
        self.assertEqual(self.bench("--compare", self.out["json"], os.path.join(work, "none.json")).returncode, 2)


def main():
    parser = options_parser("--script", "--test", "--kernels", "--probe")
    parser.add_argument("--verify", default="")
    parser.add_argument("--latency", default="")
    parse_options(parser)
    return run_tests(sys.modules[__name__])


if __name__ == "__main__":
    sys.exit(main())
