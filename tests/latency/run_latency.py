#!/usr/bin/env python3
"""Runs the real Latency program: every registered kernel is timed and
judged as registered, a wrong kernel is caught (in the middle of a chain
too, or by a fault), and what cannot run says why. Figures are only checked
for shape: timing belongs in the bench."""
import json
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import processor_flags  # noqa: E402
from test_support import OPTS, options_parser, parse_options, read_kernel_list, run_program, run_tests  # noqa: E402


def latency(*args):
    """Runs Latency; returns (status, stdout, stderr)."""
    proc = run_program(OPTS.latency, args, timeout=300)
    return proc.returncode, proc.stdout, proc.stderr


def latency_json(*args):
    status, out, _ = latency("--json", *args)
    return status, json.loads(out)


class Latency(unittest.TestCase):
    def test_registered_kernels_are_timed_and_judged_as_registered(self):
        for kernel in read_kernel_list(OPTS.kernel_list):
            with self.subTest(procedure=kernel["procedure"]):
                status, report = latency_json(kernel["path"], kernel["procedure"], "1001", kernel["mask"])
                if status == 2 and report["missing_features"]:
                    continue  # this processor cannot run it
                self.assertEqual((report["computes_nothing"], report["missing_features"]),
                                 (kernel["product"] == "none", []), report)
                if kernel["product"] == "none":
                    self.assertEqual((status, report["chain_exact"], report["product"]), (0, None, None), report)
                else:
                    self.assertEqual((status, report["chain_exact"], report["product"]), (0, True, kernel["product"]),
                                     report)
                self.assertEqual(report["count"], 1001)
                self.assertTrue(report["counter"])
                for field in ("through_a", "through_b"):
                    self.assertIsInstance(report[field], (int, float), report)
                    self.assertGreaterEqual(report[field], 0, report)

    def test_a_wrong_kernel_is_timed_and_reported_wrong(self):
        status, report = latency_json(OPTS.broken, "transposed", "8")
        self.assertEqual((status, report["chain_exact"]), (1, False), report)
        self.assertIn("the transposed product", report["reason"])
        self.assertIsNotNone(report["through_a"])
        status, out, _ = latency(OPTS.broken, "transposed", "8")
        lines = out.decode().splitlines()
        self.assertEqual(status, 1)
        self.assertEqual([line[:13] for line in lines], ["Library:     ", "Procedure:   ", "Count:       ",
                                                         "Through a:   ", "Through b:   ", "Counter:     ",
                                                         "Product:     ", "Chain:       "])
        self.assertEqual(lines[-1], "Chain:       wrong: " + report["reason"])

    def test_a_kernel_that_goes_wrong_mid_chain_is_caught(self):
        # One that stops writing is caught whatever the count and the draws.
        # One that skips eight calls in each timed chain goes by only where
        # both stretches' operands multiply to the identity: about once in
        # 147,000 runs.
        for procedure, count in (("stops_after_million", "600000"), ("stops_after_million", "600004"),
                                 ("skips_eight", "1000")):
            with self.subTest(procedure=procedure, count=count):
                status, report = latency_json(OPTS.broken, procedure, count)
                self.assertEqual((status, report["chain_exact"]), (1, False), report)

    def test_a_fault_in_a_chain_is_reported(self):
        # The kernel's unmasked precision exception: the checked calls
        # survive it (the register is put back after each), the timed chain
        # faults.
        if processor_flags.is_aarch64(OPTS.latency):
            self.skipTest("no precision exception to unmask: an x86 kernel")
        status, report = latency_json(OPTS.broken, "unmasks_precision", "100")
        self.assertEqual((status, report["chain_exact"], report["through_a"]), (1, False, None), report)
        self.assertIn("the kernel raised a floating-point exception", report["reason"])
        self.assertTrue(report["reason"].endswith("in the chain through a"), report)
        self.assertEqual((report["missing_features"], report["computes_nothing"]), ([], False), report)
        status, out, _ = latency(OPTS.broken, "unmasks_precision", "100")
        self.assertEqual(status, 1)
        self.assertEqual(out.decode().splitlines()[-1], "Chain:       wrong: " + report["reason"])

    def test_computing_nothing_is_read_from_the_registered_file(self):
        # A library named as the null kernel's, elsewhere, is judged.
        null = next(k for k in read_kernel_list(OPTS.kernel_list) if k["procedure"] == "null_kernel")
        elsewhere = os.path.join(OPTS.work_dir, "elsewhere")
        os.makedirs(elsewhere, exist_ok=True)
        copy = os.path.join(elsewhere, os.path.basename(null["path"]))
        shutil.copyfile(OPTS.broken, copy)
        status, report = latency_json(copy, "null_kernel", "10")
        self.assertEqual((status, report["chain_exact"], report["computes_nothing"]), (1, False, False), report)
        self.assertIn("element [0][0] is 42", report["reason"])

    def test_the_report_stays_whole_after_a_hostile_kernel(self):
        # What the kernel prints goes to standard error; an x87 value left
        # behind does not reach the report's figures.
        for procedure in ("prints", "leaves_x87_value"):
            with self.subTest(procedure=procedure):
                status, report = latency_json(OPTS.broken, procedure, "101")
                self.assertEqual((status, report["chain_exact"]), (0, True), report)
                self.assertIsInstance(report["through_a"], (int, float))
        status, out, err = latency(OPTS.broken, "prints", "3")
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith(b"Library:     ") and b"debug" not in out, out)
        self.assertIn(b"{ debug: not JSON", err)

    def test_what_cannot_run_says_why(self):
        cases = [([os.path.join(OPTS.work_dir, "no_such_library.so"), "k", "10"], "could not be loaded"),
                 ([OPTS.broken, "no_such_kernel", "10"], "does not export no_such_kernel"),
                 ([OPTS.broken, "not_a_kernel", "10"], "not_a_kernel is not a function")]
        flags = processor_flags.cpu_flags(OPTS.latency)
        if flags is not None and "3dnow" not in flags:
            cases.append(([OPTS.broken, "transposed", "10", "16"], "lacks 3DNow!"))
        for args, reason in cases:
            with self.subTest(args=args):
                status, report = latency_json(*args)
                self.assertEqual((status, report["through_a"], report["chain_exact"]), (2, None, None), report)
                self.assertEqual(report["missing_features"], ["3DNow!"] if "lacks" in reason else [], report)
                self.assertIn(reason, report["reason"])
                status, out, err = latency(*args)
                self.assertEqual((status, out), (2, b""))
                self.assertIn(reason.encode(), err)

    def test_bad_arguments_print_the_usage(self):
        for args in [[], ["lib", "proc"], ["lib", "proc", "0"], ["lib", "proc", "-5"], ["lib", "proc", "1e6"],
                     ["lib", "proc", "2147483648"], ["", "proc", "10"], ["lib", "proc", "10", "0", "extra"]]:
            with self.subTest(args=args):
                status, out, err = latency(*args)
                self.assertEqual((status, out), (2, b""))
                self.assertTrue(err.startswith(b"Usage: Latency [--json] <library> <procedure> <count>"), err)

    def test_the_mask_is_read_as_test_reads_it(self):
        # 2^32 wraps to 0: no feature to check.
        status, report = latency_json(OPTS.broken, "prints", "3", "4294967296")
        self.assertEqual((status, report["chain_exact"]), (0, True), report)


def main():
    parse_options(options_parser("--latency", "--kernel-list", "--broken", "--work-dir"))
    return run_tests(Latency)


if __name__ == "__main__":
    sys.exit(main())
