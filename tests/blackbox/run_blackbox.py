#!/usr/bin/env python3
"""Black-box tests of the Test program: runs the real binary and compares
what it writes, byte for byte, with what it must write.

The timing figures are the only part of a report that cannot be known in
advance; each report is parsed for its two totals and then rebuilt from them
by the report's rules, so every other byte, every per-call figure and every
optional clause is checked exactly.
"""
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import processor_flags  # noqa: E402
from test_support import OPTS, options_parser, parse_options, read_kernel_list, run_program, run_tests  # noqa: E402

USAGE = b"Usage:\r\n\tTest <Dll name> <Procedure name> <Repeat count> [Features needed]\r\n"
NUMBER = rb"(0|[1-9][0-9]*)"
# Standard error is a text stream: on Windows its line ends are CR LF.
PROBE_LINE = re.compile(rb"probe: calls=([0-9]+) failures=([0-9]+) first=(\S+)\r?\n")


def is_windows():
    return OPTS.test.lower().endswith(".exe")


def lib_name(stem):
    return stem + (".dll" if is_windows() else ".so")


def run(args, cwd=None, stdout=subprocess.PIPE, program=None, argv0=None, timeout=120, env=None):
    """Runs Test with args; returns (status, stdout bytes, stderr bytes).
    argv0, when given, is what the program is told its own name is; env
    adds to the environment."""
    proc = run_program(program or OPTS.test, args, argv0=argv0, timeout=timeout, env=env, cwd=cwd, stdout=stdout)
    return proc.returncode, proc.stdout, proc.stderr


def rounded_quotient(total, count):
    """total / count rounded to nearest, ties to even, in exact arithmetic."""
    q, r = divmod(total, count)
    if 2 * r > count or (2 * r == count and q % 2 == 1):
        q += 1
    return q


def expected_times(ticks, ms, count):
    if ticks == 0 and ms == 0:
        return b"\r\n\r\n"
    text = b"\r\nTotal time: %d clock ticks" % ticks
    if ms:
        text += b", %d ms." % ms
    if count > 1:
        text += b"\r\nEach run:   %d clock ticks" % rounded_quotient(ticks, count)
        per_run_ms = rounded_quotient(ms, count)
        if per_run_ms:
            text += b", %d ms." % per_run_ms
    return text + b"\r\n\r\n"


def header(library, procedure, echo):
    return (b"Library:    " + library + b"\r\nProcedure:  " + procedure +
            b"\r\nRepeat:     " + echo + b" time(s)")


class ReportCase(unittest.TestCase):
    def setUp(self):
        self.work = os.path.join(OPTS.work_dir, type(self).__name__)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)

    def assertReport(self, out, library, procedure, echo, count):
        """Checks a whole report; returns its (ticks, milliseconds)."""
        head = header(library, procedure, echo)
        self.assertEqual(out[:len(head)], head, out)
        rest = out[len(head):]
        match = re.match(rb"\r\nTotal time: " + NUMBER + rb" clock ticks(?:, " + NUMBER + rb" ms\.)?", rest)
        ticks = int(match.group(1)) if match else 0
        ms = int(match.group(2)) if match and match.group(2) else 0
        self.assertEqual(rest, expected_times(ticks, ms, count), out)
        return ticks, ms

    def assertSilent(self, args, cwd=None, timeout=120, env=None):
        status, out, err = run(args, cwd=cwd, timeout=timeout, env=env)
        self.assertEqual(status, 0)
        self.assertEqual(out, b"", args)
        self.assertEqual(err, b"", "the kernel library must not even be loaded")

    def assertProbe(self, err, calls):
        match = PROBE_LINE.fullmatch(err)
        self.assertIsNotNone(match, err)
        self.assertEqual(int(match.group(1)), calls, err)
        self.assertEqual((int(match.group(2)), match.group(3)), (0, b"none"), err)

    def copy_probe(self, *parts):
        """Copies the probe library to a path below the work directory."""
        target = os.path.join(self.work, *parts)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(OPTS.probe, target)
        return target


class Usage(ReportCase):
    def test_no_arguments_prints_the_usage_text_alone(self):
        self.assertEqual(run([]), (0, USAGE, b""))

    def test_empty_arguments_count_as_missing(self):
        status, out, _ = run(["", ""])
        self.assertEqual((status, out), (0, USAGE))


class SilentStops(ReportCase):
    def test_every_refusal_prints_nothing_and_exits_zero(self):
        probe = OPTS.probe
        cases = [
            [probe],                                   # no procedure
            [probe, "probe_kernel"],                   # no count
            [probe, "probe_kernel", "0"],
            [probe, "probe_kernel", "000"],
            [probe, "probe_kernel", "-5"],             # negative counts are refused
            [probe, "probe_kernel", "-2147483648"],
            [probe, "probe_kernel", "4294967296"],     # wraps to 0
            [probe, "probe_kernel", " "],
            [os.path.join(self.work, "missing", lib_name("nothing")), "probe_kernel", "5"],
            [lib_name("nothing_by_that_name"), "probe_kernel", "5"],
        ]
        for args in cases:
            with self.subTest(args=args):
                self.assertSilent(args)

    def test_procedure_not_exported(self):
        # The library is loaded, then unloaded again without a call.
        status, out, err = run([OPTS.probe, "no_such_procedure", "5"])
        self.assertEqual((status, out), (0, b""))
        self.assertProbe(err, 0)

    def test_a_file_that_is_not_a_library(self):
        path = os.path.join(self.work, lib_name("text"))
        with open(path, "wb") as f:
            f.write(b"not a library\n")
        self.assertSilent([path, "probe_kernel", "5"])


class Loader(ReportCase):
    """What does not load, or is not the library's own export, ends the run
    silently; nothing reaches the system loader that would crash or hang it."""

    def test_names_only_a_dependency_exports_are_not_found(self):
        # The probe links the C library, which exports these.
        for name in ["abort", "exit", "malloc"]:
            with self.subTest(name=name):
                status, out, err = run([OPTS.probe, name, "1"])
                self.assertEqual((status, out), (0, b""))
                self.assertProbe(err, 0)

    def test_a_data_symbol_is_not_called(self):
        status, out, err = run([OPTS.probe, "probe_data", "5"])
        self.assertEqual((status, out), (0, b""))
        self.assertProbe(err, 0)
        if not is_windows():
            # A variable of the C library, loaded by its bare name.
            self.assertSilent(["libc.so.6", "stdout", "5"])

    def test_a_library_cut_short(self):
        with open(os.path.join(OPTS.bin_dir, lib_name("outerprod")), "rb") as f:
            whole = f.read()
        path = os.path.join(self.work, lib_name("cut"))
        for size in [0, 64, 1000, 3000, 8192, 12288]:
            if size >= len(whole):
                continue
            with self.subTest(size=size):
                with open(path, "wb") as f:
                    f.write(whole[:size])
                self.assertSilent([path, "Mat_Mult", "5"])

    def test_a_library_that_crashes_the_loader_when_unloaded(self):
        # The tag of the finaliser table's size changed to one the loader
        # does not know: it loads, and crashes running the finalisers.
        if is_windows():
            self.skipTest("the ELF dynamic section is a Linux library's")
        with open(os.path.join(OPTS.bin_dir, lib_name("outerprod")), "rb") as f:
            image = bytearray(f.read())
        # A 64-bit little-endian ELF file: its program headers, the dynamic
        # segment among them, and in that DT_FINI_ARRAYSZ (28).
        (headers,), (entry_size, count) = struct.unpack_from("<Q", image, 32), struct.unpack_from("<HH", image, 54)
        tags = []
        for offset in range(headers, headers + entry_size * count, entry_size):
            kind, _, start, _, _, size = struct.unpack_from("<IIQQQQ", image, offset)
            if kind == 2:
                tags += [start + i for i in range(0, size, 16) if struct.unpack_from("<q", image, start + i)[0] == 28]
        if not tags:
            self.skipTest("this build's library has no finaliser table")
        struct.pack_into("<q", image, tags[0], 64)
        path = os.path.join(self.work, lib_name("bad_fini"))
        with open(path, "wb") as f:
            f.write(image)
        self.assertSilent([path, "Mat_Mult", "5"])

    def test_a_directory(self):
        os.makedirs(os.path.join(self.work, lib_name("dir")))
        self.assertSilent([os.path.join(self.work, lib_name("dir")), "probe_kernel", "5"])
        self.assertSilent([lib_name("dir"), "probe_kernel", "5"], cwd=self.work)

    def test_a_fifo(self):
        if is_windows():
            self.skipTest("a FIFO is a POSIX file type")
        os.mkfifo(os.path.join(self.work, lib_name("fifo")))
        self.assertSilent([os.path.join(self.work, lib_name("fifo")), "probe_kernel", "5"], timeout=20)
        self.assertSilent([lib_name("fifo"), "probe_kernel", "5"], cwd=self.work, timeout=20)

    def test_a_dependency_that_blocks_or_is_cut_short(self):
        if is_windows():
            self.skipTest("Windows has no FIFOs, and its loader checks a dependency's image itself")
        # A copy of the probe that needs, in place of one of its own
        # dependencies, a library of a new name, found along LD_LIBRARY_PATH.
        with open(OPTS.probe, "rb") as f:
            probe = f.read()
        needed = next((name for name in [b"libstdc++.so.6", b"libc.so.6"] if probe.count(name + b"\0") == 1), None)
        if needed is None:
            self.skipTest("the probe needs neither the C++ nor the C library by its usual name")
        stand_in = needed.replace(b"lib", b"dep", 1)
        path = os.path.join(self.work, lib_name("needs_dep"))
        with open(path, "wb") as f:
            f.write(probe.replace(needed + b"\0", stand_in + b"\0"))
        dependency = os.path.join(self.work, stand_in.decode())
        env = {"LD_LIBRARY_PATH": self.work}
        os.mkfifo(dependency)
        self.assertSilent([path, "probe_kernel", "5"], timeout=60, env=env)
        os.unlink(dependency)
        with open(dependency, "wb") as f:
            f.write(probe[:12288])
        self.assertSilent([path, "probe_kernel", "5"], env=env)

    def test_a_kernel_that_leaves_a_thread_running(self):
        # The thread runs the library's code until the process ends: the
        # library must not be unmapped under it. On Linux unmapping it faults
        # only when the fault comes before the process ends (about one run in
        # five here), hence several runs. Windows stops the other threads
        # before a process's libraries are unloaded at its end, so there only
        # the program's own unloading can fault, and a few runs tell. (Under
        # wine on a loaded machine one run in about 45 has been seen to die
        # at the process's end; 80 runs on an idle one did not.)
        name = os.path.basename(OPTS.probe).encode()
        for _ in range(3 if is_windows() else 15):
            status, out, err = run([OPTS.probe, "thread_kernel", "10"])
            self.assertEqual(status, 0)
            self.assertReport(out, name, b"thread_kernel", b"10", 10)
            self.assertProbe(err, 10)

    def test_a_library_loads_with_sigchld_ignored(self):
        # An ignored SIGCHLD survives exec; the trial load must still be seen to end.
        if is_windows():
            self.skipTest("a POSIX signal")
        proc = run_program(OPTS.test, [OPTS.probe, "probe_kernel", "3"], timeout=60,
                           preexec_fn=lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN))
        self.assertEqual(proc.returncode, 0)
        self.assertReport(proc.stdout, os.path.basename(OPTS.probe).encode(), b"probe_kernel", b"3", 3)
        self.assertProbe(proc.stderr, 3)

    def test_an_empty_or_unsplittable_program_name(self):
        if OPTS.emulator or is_windows():
            self.skipTest("Windows hands the program its command line whole")
        name = os.path.basename(OPTS.probe).encode()
        for argv0 in [b"", b"a b\"'`\xb4"]:
            with self.subTest(argv0=argv0):
                status, out, err = run([OPTS.probe, "probe_kernel", "3"], argv0=argv0)
                self.assertEqual(status, 0)
                self.assertReport(out, name, b"probe_kernel", b"3", 3)
                self.assertProbe(err, 3)


class Report(ReportCase):
    def test_counts_and_echo(self):
        name = os.path.basename(OPTS.probe).encode()
        for count_text, echo, calls in [("7", b"7", 7), ("007", b"7", 7), ("1", b"1", 1),
                                        ("2", b"2", 2), ("12x", b"192", 192), ("1000", b"1000", 1000)]:
            with self.subTest(count=count_text):
                status, out, err = run([OPTS.probe, "probe_kernel", count_text])
                self.assertEqual(status, 0)
                self.assertReport(out, name, b"probe_kernel", echo, calls)
                self.assertProbe(err, calls)

    def test_count_of_one_has_no_per_call_line(self):
        _, out, _ = run([OPTS.probe, "probe_kernel", "1"])
        self.assertNotIn(b"Each run", out)
        self.assertTrue(out.endswith(b" clock ticks\r\n\r\n") or out.endswith(b" ms.\r\n\r\n"), out)

    def test_milliseconds_in_total_and_per_call(self):
        # 40 calls of about 2 ms: long enough for a tick count that advances
        # only every 15 or 16 ms, as Windows' does.
        name = os.path.basename(OPTS.probe).encode()
        status, out, err = run([OPTS.probe, "slow_kernel", "40"])
        self.assertEqual(status, 0)
        ticks, ms = self.assertReport(out, name, b"slow_kernel", b"40", 40)
        self.assertGreaterEqual(ms, 40, out)
        self.assertIn(b" ms.\r\nEach run:   ", out)
        self.assertRegex(out, rb"Each run:   [0-9]+ clock ticks, [1-9][0-9]* ms\.\r\n\r\n$")
        self.assertGreater(ticks, 0)
        self.assertProbe(err, 40)

    def test_a_kernel_leaving_the_x87_stack_full(self):
        # Nine calls or more fill the eight x87 registers; the report's
        # figures are converted there.
        name = os.path.basename(OPTS.probe).encode()
        for count in [9, 1000]:
            status, out, err = run([OPTS.probe, "x87_kernel", str(count)])
            self.assertEqual(status, 0)
            self.assertReport(out, name, b"x87_kernel", str(count).encode(), count)
            self.assertProbe(err, count)

    def test_short_run_without_milliseconds(self):
        # Two calls of an empty kernel rarely cross a millisecond boundary;
        # when they do not, the totals line carries no millisecond clause.
        name = os.path.basename(OPTS.probe).encode()
        for _ in range(20):
            _, out, _ = run([OPTS.probe, "probe_kernel", "2"])
            _, ms = self.assertReport(out, name, b"probe_kernel", b"2", 2)
            if ms == 0:
                self.assertRegex(out, rb"Total time: [0-9]+ clock ticks\r\nEach run:   [0-9]+ clock ticks\r\n\r\n$")
                return
        self.fail("every short run reported milliseconds")


class Quoting(ReportCase):
    def test_library_path_with_directories_and_blanks(self):
        for parts in [("plain", "dir", lib_name("probe")), ("dir with blanks", lib_name("my probe")),
                      ("it's", "`odd`", lib_name("probe"))]:
            with self.subTest(parts=parts):
                path = self.copy_probe(*parts)
                status, out, err = run([path, "probe_kernel", "3"])
                self.assertEqual(status, 0)
                self.assertReport(out, parts[-1].encode(), b"probe_kernel", b"3", 3)
                self.assertProbe(err, 3)

    def test_relative_path_and_bare_name_in_the_current_directory(self):
        self.copy_probe("sub", lib_name("local_probe"))
        status, out, err = run([os.path.join("sub", lib_name("local_probe")), "probe_kernel", "4"], cwd=self.work)
        self.assertReport(out, lib_name("local_probe").encode(), b"probe_kernel", b"4", 4)
        self.assertProbe(err, 4)
        status, out, err = run([lib_name("local_probe"), "probe_kernel", "4"], cwd=os.path.join(self.work, "sub"))
        self.assertReport(out, lib_name("local_probe").encode(), b"probe_kernel", b"4", 4)
        self.assertProbe(err, 4)

    def test_bare_name_is_found_beside_the_program_from_any_directory(self):
        name = lib_name("null").encode()
        status, out, err = run([lib_name("null"), "null_kernel", "5"], cwd=self.work)
        self.assertEqual((status, err), (0, b""))
        self.assertReport(out, name, b"null_kernel", b"5", 5)

    def test_each_platform_quotes_its_own_way(self):
        # The POSIX layer quotes an argument holding a blank and '"' with a
        # quote character it does not hold, so it arrives whole. Windows
        # (here the emulator) writes it as "5\"x 7", which the tokenizer splits
        # into 5\, x and 7": the count parses as 5 * 10 + ('\\' - '0') = 94,
        # and "x" becomes the feature mask 72 (SSE3 and SSSE3).
        status, out, err = run([OPTS.probe, "probe_kernel", '5"x 7'])
        name = os.path.basename(OPTS.probe).encode()
        if not is_windows():
            self.assertReport(out, name, b"probe_kernel", b"5", 5)
            self.assertProbe(err, 5)
            return
        flags = cpu_flags()
        if flags is not None and not {"pni", "ssse3"} <= flags:
            self.assertEqual((out, err), (b"", b""))
            return
        self.assertReport(out, name, b"probe_kernel", b"94", 94)
        self.assertProbe(err, 94)

    def test_empty_arguments_are_dropped(self):
        status, out, err = run([OPTS.probe, "", "probe_kernel", "", "3"])
        self.assertReport(out, os.path.basename(OPTS.probe).encode(), b"probe_kernel", b"3", 3)
        self.assertProbe(err, 3)


def cpu_flags():
    """The mask table's features this processor has, or None (see processor_flags)."""
    return processor_flags.cpu_flags(OPTS.test)


class Features(ReportCase):
    def runs(self, mask):
        status, out, err = run([OPTS.probe, "probe_kernel", "3", mask])
        self.assertEqual(status, 0)
        if out == b"":
            self.assertEqual(err, b"")
            return False
        self.assertReport(out, os.path.basename(OPTS.probe).encode(), b"probe_kernel", b"3", 3)
        self.assertProbe(err, 3)
        return True

    def test_masks_that_check_nothing_or_present_features(self):
        # Without /proc/cpuinfo, an x86 processor with MMX, SSE, SSE2 and TSC.
        flags = cpu_flags()
        for mask, needs in [("0", set()), ("", set()), ("6", {"sse", "sse2"}), ("1", {"mmx"}), ("2", {"sse"}),
                            ("4", {"sse2"}), ("524288", {"tsc"}), ("1048576", set()), ("2147483648", set())]:
            with self.subTest(mask=mask):
                self.assertEqual(self.runs(mask), flags is None or needs <= flags)

    def test_masks_against_this_processor(self):
        flags = cpu_flags()
        if flags is None:
            self.skipTest("no /proc/cpuinfo to learn this processor's features from")
        for feature in processor_flags.FEATURES:
            with self.subTest(mask=feature.value, flag=feature.cpuinfo):
                self.assertEqual(self.runs(str(feature.value)), feature.cpuinfo in flags)
        # All bits set asks for everything, 3DNow! included.
        everything = {feature.cpuinfo for feature in processor_flags.FEATURES}
        self.assertEqual(self.runs("-1"), everything <= flags)


class CommandLine(ReportCase):
    """The command line is cut to 511 characters before it is split."""

    def prefix_length(self):
        """Characters of the command line before the library path."""
        if is_windows():
            # The emulator writes the program as its quoted DOS path on drive
            # Z:, "Z:\\dir\\Test.exe", before the arguments.
            return len('"Z:' + os.path.abspath(OPTS.test) + '"') + 1
        return len(OPTS.test) + 1

    def padded_count(self, before, digits, keep):
        """The count `digits` padded with leading zeros so that the first
        `keep` of its digits end exactly at character 511."""
        zeros = 511 - before - keep
        self.assertGreater(zeros, 0)
        return "0" * zeros + digits

    def test_cut_inside_the_count(self):
        before = self.prefix_length() + len(OPTS.probe) + len(" probe_kernel ")
        count = self.padded_count(before, "123456", 3)
        status, out, err = run([OPTS.probe, "probe_kernel", count])
        self.assertReport(out, os.path.basename(OPTS.probe).encode(), b"probe_kernel", b"123", 123)
        self.assertProbe(err, 123)

    def test_cut_drops_the_feature_mask(self):
        before = self.prefix_length() + len(OPTS.probe) + len(" probe_kernel ")
        count = self.padded_count(before, "5", 1)
        # Mask 16 (3DNow!) would stop the run where it is absent; it is cut off.
        status, out, err = run([OPTS.probe, "probe_kernel", count, "16"])
        self.assertReport(out, os.path.basename(OPTS.probe).encode(), b"probe_kernel", b"5", 5)
        self.assertProbe(err, 5)

    def test_cut_leaves_only_zeros(self):
        before = self.prefix_length() + len(OPTS.probe) + len(" probe_kernel ")
        self.assertSilent([OPTS.probe, "probe_kernel", self.padded_count(before, "7", 0)])

    def padded_path(self, length):
        """A path to the probe of exactly `length` characters, padded with ./ steps."""
        if is_windows():
            self.skipTest("Windows does not load a library by a path longer than MAX_PATH")
        target = self.copy_probe(lib_name("p"))
        directory = os.path.dirname(target)
        pad = length - len(target)
        self.assertGreaterEqual(pad, 0)
        path = directory + "/" + "./" * (pad // 2) + ("/" if pad % 2 else "") + lib_name("p")
        self.assertEqual(len(path), length)
        return path

    def test_cut_inside_the_procedure_or_before_the_count(self):
        prefix = self.prefix_length()
        path = self.padded_path(511 - prefix - len(" probe_kernel "))
        # The count is cut away whole.
        self.assertSilent([path, "probe_kernel", "5"])
        # The procedure name loses its last letter, and the count with it.
        path = self.padded_path(511 - prefix - len(" probe_kerne"))
        self.assertSilent([path, "probe_kernel", "5"])

    def test_a_path_longer_than_the_line(self):
        if is_windows():
            self.skipTest("Windows does not load a library by a path longer than MAX_PATH")
        self.assertSilent([self.padded_path(600), "probe_kernel", "5"])


class OutputErrors(ReportCase):
    """A closed or failing standard output still ends with status 0."""

    def test_full_output(self):
        with open("/dev/full", "wb") as full:
            status, _, err = run([OPTS.probe, "probe_kernel", "9"], stdout=full)
        self.assertEqual(status, 0)
        self.assertProbe(err, 9)

    def test_closed_pipe(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            status, _, err = run([OPTS.probe, "probe_kernel", "9"], stdout=write_end)
        finally:
            os.close(write_end)
        self.assertEqual(status, 0)
        self.assertProbe(err, 9)

    def test_closed_descriptor(self):
        proc = run_program(OPTS.test, [OPTS.probe, "probe_kernel", "9"], timeout=60, stdout=subprocess.DEVNULL,
                           preexec_fn=lambda: os.close(1))
        self.assertEqual(proc.returncode, 0)
        self.assertProbe(proc.stderr, 9)


# Each mask bit and the flag /proc/cpuinfo shows for it on x86.
MASK_FLAGS = {feature.value: feature.cpuinfo for feature in processor_flags.FEATURES}


class ShippedKernels(ReportCase):
    def test_each_registered_kernel_reports_with_its_mask(self):
        flags = cpu_flags()
        if flags is None:
            self.skipTest("no /proc/cpuinfo to learn this processor's features from")
        for kernel in read_kernel_list(os.path.join(OPTS.bin_dir, "kernels.txt")):
            name, procedure, mask, path = kernel["library"], kernel["procedure"], kernel["mask"], kernel["path"]
            with self.subTest(kernel=procedure):
                needs = {flag for bit, flag in MASK_FLAGS.items() if int(mask) & bit}
                status, out, err = run([path, procedure, "100000", mask])
                self.assertEqual((status, err), (0, b""))
                if needs <= flags:
                    ticks, _ = self.assertReport(out, name.encode(), procedure.encode(), b"100000", 100000)
                    self.assertGreater(ticks, 0)
                else:
                    self.assertEqual(out, b"")
                # Asking for a feature this processor lacks as well stops the run.
                if "3dnow" not in flags:
                    self.assertSilent([path, procedure, "1000", str(int(mask) | 16)])

    def test_a_kernel_written_in_c(self):
        status, out, err = run([OPTS.c_example, "my_kernel", "1000"])
        self.assertEqual((status, err), (0, b""))
        self.assertReport(out, os.path.basename(OPTS.c_example).encode(), b"my_kernel", b"1000", 1000)


GROUPS = {
    "usage": Usage, "silent_stops": SilentStops, "loader": Loader, "report": Report, "quoting": Quoting,
    "features": Features, "command_line": CommandLine, "output_errors": OutputErrors,
    "shipped_kernels": ShippedKernels,
}


def main():
    parser = options_parser("--test", "--probe", "--c-example", "--bin-dir", "--work-dir")
    parser.add_argument("--group", required=True, choices=sorted(GROUPS))
    parse_options(parser)
    # A group none of whose tests applies here is skipped as a whole.
    sys.exit(run_tests(GROUPS[OPTS.group], skip_when_all_skipped=True))


if __name__ == "__main__":
    main()
