#!/usr/bin/env python3
"""The bench script's own logic: kernel arguments, the spread, and the shape
of its JSON and CSV after one short run. Never its figures."""
import argparse
import csv
import json
import os
import subprocess
import sys
import tempfile
import unittest

OPTS = None


def bench_module():
    sys.dont_write_bytecode = True  # nothing written into the source tree
    sys.path.insert(0, os.path.dirname(OPTS.script))
    import run_bench
    return run_bench


class Arguments(unittest.TestCase):
    def test_kernel_argument(self):
        parse = bench_module().parse_kernel_argument
        self.assertEqual([(k["path"], k["procedure"], k["mask"]) for k in map(parse, [
            "./my.so:my_kernel", "./my.so:my_kernel:3072", "C:\\k\\my.dll:my_kernel:6", "a:b:c"])],
            [("./my.so", "my_kernel", "0"), ("./my.so", "my_kernel", "3072"),
             ("C:\\k\\my.dll", "my_kernel", "6"), ("a:b", "c", "0")])
        for bad in ["my.so", ":my_kernel", "my.so:", "my.so::6"]:
            with self.subTest(argument=bad), self.assertRaises(argparse.ArgumentTypeError):
                parse(bad)

    def test_spread_is_the_median_absolute_deviation_in_percent(self):
        # Median 100, deviations 0 1 1 10 0: their median is 1, whatever the outlier.
        self.assertAlmostEqual(bench_module().spread([100, 101, 99, 110, 100]), 1.0)


class OneRun(unittest.TestCase):
    def test_json_and_csv_shape(self):
        with tempfile.TemporaryDirectory() as work:
            json_path, csv_path = os.path.join(work, "r.json"), os.path.join(work, "r.csv")
            command = [sys.executable, OPTS.script, "--test", OPTS.test, "--kernels", OPTS.kernels,
                       "--only", "null_kernel", "--runs", "2", "--ms", "20",
                       "--kernel", f"{OPTS.probe}:probe_kernel", "--kernel", f"{OPTS.probe}:no_such_kernel",
                       "--json", json_path, "--csv", csv_path, f"--emulator={OPTS.emulator}"]
            if OPTS.verify:
                command += ["--verify", OPTS.verify]
            done = subprocess.run(command, capture_output=True, text=True, timeout=300)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(json_path) as f:
                data = json.load(f)
            with open(csv_path, newline="") as f:
                rows = list(csv.DictReader(f))

        self.assertLessEqual({"processor", "cores", "tick_hz", "core_hz"}, set(data["machine"]))
        self.assertEqual(data["runs"], 2)
        kernels = {k["procedure"]: k for k in data["kernels"]}
        # The null and calibration kernels are timed whatever --only says.
        self.assertIn("null_kernel", kernels)
        self.assertTrue(any(p.startswith("calibrate_") for p in kernels))
        self.assertIn("probe_kernel", kernels)
        for k in data["kernels"]:
            self.assertEqual(set(k), {"library", "procedure", "mask", "count", "ticks", "median", "min", "max",
                                      "spread", "net", "core_cycles", "verified", "rounding"})
            self.assertEqual(len(k["ticks"]), 2)
        self.assertEqual(kernels["null_kernel"]["net"], 0)
        self.assertEqual(kernels["null_kernel"]["verified"], "n/a")
        if OPTS.verify:
            self.assertEqual(kernels["probe_kernel"]["verified"], "wrong")
        self.assertEqual([s["procedure"] for s in data["skipped"]], ["no_such_kernel"])
        self.assertTrue(data["skipped"][0]["reason"])
        self.assertEqual([r["procedure"] for r in rows], [k["procedure"] for k in data["kernels"]])
        self.assertEqual(list(rows[0]), bench_module().SCALAR_FIELDS)


def main():
    global OPTS
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--test", required=True)
    parser.add_argument("--kernels", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--verify", default="")
    parser.add_argument("--emulator", default="")
    OPTS = parser.parse_args()
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
