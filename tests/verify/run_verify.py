#!/usr/bin/env python3
"""Runs the real Verify program and checks its verdicts: on a registered
kernel (it must verify correct with the product and rounding models it is
registered with), on kernels broken on purpose, and on kernels it cannot
run. Exits 77 (a skip for CTest) when a registered kernel needs features
this processor lacks."""
import json
import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import processor_flags  # noqa: E402
from test_support import (EMULATOR_VARIABLE, OPTS, SKIP, options_parser, parse_options,  # noqa: E402
                          read_kernel_list, run_program, run_tests)
from test_support import executable_architecture  # noqa: E402


def verify(*args, env=None, timeout=600):
    """Runs Verify --json; returns (status, parsed JSON or None, stderr)."""
    proc = run_program(OPTS.verify, args, timeout=timeout, env=env)
    report = json.loads(proc.stdout) if proc.stdout.strip() else None
    return proc.returncode, report, proc.stderr


def check_registered(kernel):
    """One kernel of the build's list; returns the exit status."""
    status, report, _ = verify("--json", kernel["path"], kernel["procedure"], kernel["mask"])
    if report["verdict"] == "not run" and report["missing_features"]:
        print(f"skipped: {report['reason']}")
        return SKIP
    print(json.dumps(report, indent=1))
    if kernel["product"] == "none":
        # A kernel that computes nothing on purpose still honours what it
        # may read and write.
        passed = {c["name"] for c in report["checks"] if c["passed"]}
        needed = {"writes only the result", "reads only the operands", "leaves the operands unchanged"}
        return 0 if status == 1 and needed <= passed else 1
    ok = (status, report["verdict"], report["product"]) == (0, "correct", kernel["product"])
    ok = ok and report["returned"] and set(kernel["rounding"]) <= set(report["rounding"])
    return 0 if ok else 1


class BrokenKernels(unittest.TestCase):
    def test_each_fault_is_caught_by_its_check(self):
        cases = {
            "transposed": "computes a*b or b*a",
            "accumulates": "result depends only on the operands",
            "scribbles": "leaves the operands unchanged",
            "writes_past": "writes only the result",
            "reads_past": "reads only the operands",
            "half_written": "computes a*b or b*a",
            "stale": "result depends only on the operands",
            "needs_32_bytes": "needs no more than 16-byte alignment",
            "crashes": "writes only the result",
            # Only at Test's kind of operands, and from the second call on.
            "writes_past_when_positive": ("writes only the result", "on an access to byte 1 past the end of the result"),
            "reads_past": ("reads only the operands", "on an access to byte 1 past the end of b"),
            "transposes_in_place": ("leaves the operands unchanged", "element [0][1] of b, which the contract makes "),
            "skips_zero_rows": ("IEEE special values", "should be nan"),
            "wrong_at_32_mod_64": ("needs no more than 16-byte alignment", "32 bytes past a 64-byte boundary"),
            "leaves_thread": ("leaves nothing running", "1 thread the kernel started"),
        }
        flags = processor_flags.cpu_flags(OPTS.verify)
        if flags is not None and "sse2" in flags:
            cases["leaves_x87_value"] = ("leaves the processor state as it found it", "left 1 value on the x87 stack")
            cases["leaves_direction_flag"] = ("leaves the processor state as it found it", "the direction flag set")
        if executable_architecture(OPTS.verify)[1] == "i686":
            cases["returns_float"] = ("leaves the processor state as it found it", "left 1 value on the x87 stack")
        for procedure, check in cases.items():
            check, detail = check if isinstance(check, tuple) else (check, "")
            with self.subTest(procedure=procedure):
                status, report, _ = verify("--json", OPTS.broken, procedure)
                self.assertEqual((status, report["verdict"]), (1, "wrong"), report)
                failed = {c["name"]: c["detail"] for c in report["checks"] if not c["passed"]}
                self.assertIn(check, failed, report)
                self.assertIn(detail, failed[check], report)
                self.assertTrue(report["reason"].startswith(next(iter(failed))), report)
        # A fault is named, every check still reported, and no error is
        # given for arithmetic that never ran.
        _, report, _ = verify("--json", OPTS.broken, "crashes")
        self.assertEqual(len(report["checks"]), 10, report)
        self.assertTrue(all("the kernel faulted: " in c["detail"] for c in report["checks"]), report)
        self.assertEqual((report["worst_error"], report["product"]), (None, None), report)

    def test_what_the_kernel_prints_stays_out_of_the_report(self):
        status, report, stderr = verify("--json", OPTS.broken, "prints")
        self.assertEqual((status, report["verdict"]), (0, "correct"), report)
        self.assertIn(b"{ debug: not JSON", stderr)

    def test_a_kernel_that_never_returns_gets_the_timeout(self):
        status, report, _ = verify("--json", "--timeout", "1", OPTS.broken, "never_returns", timeout=60)
        self.assertEqual((status, report["worst_error"]), (1, None), report)
        self.assertEqual(report["reason"], "writes only the result: the kernel did not return: no answer within 1 s")
        self.assertIs(report["returned"], False)

    def pid_file(self, name):
        path = os.path.join(OPTS.work_dir, name)
        if os.path.exists(path):
            os.remove(path)
        return path, dict(os.environ, VERIFY_TEST_PID_FILE=path)

    def assertProcessEnds(self, pid_file):
        with open(pid_file) as f:
            pid = int(f.read())
        for _ in range(100):
            try:
                with open(f"/proc/{pid}/stat") as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        return
            except FileNotFoundError:
                return
            time.sleep(0.05)
        os.kill(pid, signal.SIGKILL)
        self.fail(f"process {pid} outlived Verify")

    def test_a_process_the_kernel_starts_ends_with_its_step(self):
        # The helper holds the answer pipe open: the step still ends when
        # the kernel's process does, and the helper with it.
        path, env = self.pid_file("helper.pid")
        status, report, _ = verify("--json", OPTS.broken, "starts_helper", env=env, timeout=120)
        self.assertEqual((status, report["reason"].split(":")[0]), (1, "leaves nothing running"), report)
        if sys.platform.startswith("linux") and not OPTS.emulator:
            self.assertProcessEnds(path)

    @unittest.skipUnless(sys.platform.startswith("linux"), "needs /proc")
    def test_verify_killed_takes_its_child_along(self):
        if OPTS.emulator:
            self.skipTest("the kernel's process ids are the emulator's")
        path, env = self.pid_file("spinner.pid")
        proc = subprocess.Popen([OPTS.verify, OPTS.broken, "never_returns"], stdout=subprocess.DEVNULL,
                                stdin=subprocess.DEVNULL, env=env)
        for _ in range(600):
            if os.path.exists(path) and os.path.getsize(path) > 0:
                break
            time.sleep(0.05)
        proc.kill()
        proc.wait()
        self.assertProcessEnds(path)

    def test_text_report_of_a_wrong_kernel(self):
        proc = run_program(OPTS.verify, [OPTS.broken, "transposed"], timeout=600, stderr=None)
        text = proc.stdout.replace(b"\r\n", b"\n").decode()
        self.assertEqual(proc.returncode, 1)
        # Named as Latency names it, with the element that is furthest off.
        named = "computes a*b or b*a: neither; the transposed product (as a*b); against a*b, "
        self.assertIn("  FAILED  " + named, text)
        self.assertTrue(text.endswith("Verdict:     wrong: " + named + text.rsplit("against a*b, ", 1)[1]), text)

    def test_a_kernel_matching_no_model_is_told_the_nearest(self):
        status, report, _ = verify("--json", OPTS.broken, "sums_from_plus_zero")
        self.assertEqual((status, report["rounding"]), (0, []), report)
        nearest = report["nearest_model"]
        # float-fma where the compiler fuses the loop's multiply and add.
        self.assertIn(nearest["name"], ("float-mul-add", "float-fma"), report)
        self.assertIn(f"as {nearest['name']} but for the sign of a zero result: the sum started from +0 (",
                      nearest["difference"])


class NotRun(unittest.TestCase):
    def assertNotRun(self, args, reason_part):
        status, report, _ = verify("--json", *args)
        self.assertEqual((status, report["verdict"], report["product"], report["checks"]), (2, "not run", None, []))
        self.assertIn(reason_part, report["reason"])
        return report

    def test_reasons(self):
        missing = os.path.join(OPTS.work_dir, "no_such_library.so")
        self.assertNotRun([missing, "k"], "")
        text_file = os.path.join(OPTS.work_dir, "not_a_library.so")
        with open(text_file, "w") as f:
            f.write("not a library\n")
        self.assertNotRun([text_file, "k"], "")
        self.assertNotRun([OPTS.broken, "no_such_kernel"], "does not export no_such_kernel")
        # A name only the C library defines is not the kernel library's own.
        self.assertNotRun([OPTS.broken, "malloc"], "does not export malloc")
        # An exported variable is no kernel: it is never called.
        self.assertNotRun([OPTS.broken, "not_a_kernel"], "not_a_kernel is not a function")

    def test_missing_features_are_named(self):
        flags = processor_flags.cpu_flags(OPTS.verify)
        if flags is None or "3dnow" in flags:
            self.skipTest("needs a processor known to lack 3DNow!")
        report = self.assertNotRun([OPTS.broken, "transposed", "16"], "3DNow!")
        self.assertEqual(report["missing_features"], ["3DNow!"])
        if "avx512f" not in flags:
            report = self.assertNotRun([OPTS.broken, "transposed", "4112"], "3DNow!, AVX-512F")
            self.assertEqual(report["missing_features"], ["3DNow!", "AVX-512F"])

    def test_any_bytes_give_valid_json(self):
        odd = "dir \"quoted\" \\ back\tslash \x01 caf\u00e9"
        status, report, _ = verify("--json", os.path.join(OPTS.work_dir, odd), "proc\u00e9\"")
        self.assertEqual((status, report["library"], report["procedure"]),
                         (2, os.path.join(OPTS.work_dir, odd), "proc\u00e9\""))
        if os.name == "posix" and not OPTS.emulator:
            raw = subprocess.run([OPTS.verify, "--json", b"/nowhere/\xff\xfe.so", "p"], stdout=subprocess.PIPE)
            self.assertEqual(json.loads(raw.stdout)["library"], "/nowhere/\u00ff\u00fe.so")

    def test_children_start_through_the_named_emulator(self):
        # Each step is a new run of Verify, started through the emulator it
        # names: one that cannot be run stops it before any check, and one
        # that runs the rest of its command is used for every step.
        if OPTS.verify.endswith(".exe"):
            self.skipTest("a Windows program's children run under what runs it")
        missing = os.path.join(OPTS.work_dir, "no_such_emulator")
        status, report, _ = verify("--json", OPTS.broken, "transposed", env={EMULATOR_VARIABLE: missing})
        self.assertEqual((status, report["checks"]), (2, []))
        self.assertTrue(report["reason"].startswith(f"could not start a child process: cannot run {missing}:"))
        log = os.path.join(OPTS.work_dir, "launches.log")
        launcher = os.path.join(OPTS.work_dir, "logging_launcher.sh")
        with open(launcher, "w") as f:
            f.write(f'#!/bin/sh\necho "$*" >> "{log}"\nexec "$@"\n')
        os.chmod(launcher, 0o755)
        if os.path.exists(log):
            os.remove(log)
        launched = ";".join([launcher] + OPTS.emulator)
        status, report, _ = verify("--json", OPTS.broken, "transposed", env={EMULATOR_VARIABLE: launched})
        self.assertEqual((status, report["reason"].split(":")[0]), (1, "computes a*b or b*a"))
        with open(log) as f:
            lines = f.read().splitlines()
        # The load, the five contract checks and the arithmetic.
        self.assertEqual(len(lines), 7, lines)
        self.assertTrue(all(" --isolated-child " in line for line in lines), lines)

    def test_bad_arguments_print_the_usage(self):
        for args in [[], ["--json"], ["only_a_library"], ["a", "b", "0", "extra"], ["--timeout", "0", "a", "b"],
                     ["--timeout", "1s", "a", "b"], ["--timeout", "a", "b"], ["--json", "--timeout"]]:
            with self.subTest(args=args):
                proc = run_program(OPTS.verify, args, timeout=60)
                self.assertEqual((proc.returncode, proc.stdout), (2, b""))
                self.assertTrue(proc.stderr.startswith(b"Usage: Verify [--json] [--timeout SECONDS] <library> <procedure>"))




def main():
    parser = options_parser("--verify", "--kernel-list", "--broken", "--work-dir")
    parser.add_argument("--procedure", help="verify this registered kernel; otherwise run the group")
    parser.add_argument("--group", choices=["broken", "not_run"])
    parse_options(parser)
    if OPTS.procedure:
        for kernel in read_kernel_list(OPTS.kernel_list):
            if kernel["procedure"] == OPTS.procedure:
                return check_registered(kernel)
        print(f"{OPTS.procedure} is not in {OPTS.kernel_list}")
        return 1
    return run_tests({"broken": BrokenKernels, "not_run": NotRun}[OPTS.group])


if __name__ == "__main__":
    sys.exit(main())
