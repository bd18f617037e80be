"""What the Python test drivers share: their command line and the options
object every test reads, running a program under test, running a group of
test cases, and the exit status that tells CTest a test was skipped.

A driver puts this folder on its path, imports this module, and reads
`OPTS` once `parse_options` has filled it."""
import argparse
import importlib
import os
import subprocess
import sys
import types
import unittest

# The exit status that tells CTest a test was skipped (its SKIP_RETURN_CODE).
SKIP = 77
# Where Verify reads the emulator it runs under, its parts separated by ';'.
EMULATOR_VARIABLE = "MATMUL_EMULATOR"

# The parsed command line, one object for the whole driver: filled in place
# by parse_options, so that a module that took it at import sees the values.
OPTS = argparse.Namespace()


def options_parser(*required, emulator=True):
    """A parser with each of `required` (e.g. "--work-dir") as a required
    option, --sanitized (the build under test is instrumented by the
    sanitizers, its kernels included) and, unless told not to, --emulator:
    the command that runs the programs under test, its parts separated by
    ';' (empty: none)."""
    parser = argparse.ArgumentParser()
    for option in required:
        parser.add_argument(option, required=True)
    parser.add_argument("--sanitized", action="store_true")
    if emulator:
        parser.add_argument("--emulator", default="")
    return parser


# Why a kernel of a sanitizer build has no model: its code calls the checks.
SANITIZED_NO_MODEL = "the sanitizer build's kernels call the sanitizers' checks: no straight line to model"


def parse_options(parser):
    """Parses the command line into OPTS and returns it: --emulator as the
    list of its parts, and --work-dir, where there is one, created."""
    parser.parse_args(namespace=OPTS)
    if isinstance(getattr(OPTS, "emulator", None), str):
        OPTS.emulator = [part for part in OPTS.emulator.split(";") if part]
        if OPTS.emulator:
            # Verify starts its checks' child processes through the emulator
            # it runs under; every program this driver starts inherits it.
            os.environ[EMULATOR_VARIABLE] = ";".join(OPTS.emulator)
    if getattr(OPTS, "work_dir", None):
        os.makedirs(OPTS.work_dir, exist_ok=True)
    return OPTS


def bench_module(name):
    """One of the bench's modules, for what the bench already reads (the
    kernel list, an executable's header). The bench's folder joins the path
    only here, when a driver asks for one, so that a driver that loads the
    bench's modules from another folder gets them from there."""
    bench = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
    if bench not in sys.path:
        sys.path.insert(0, bench)
    return importlib.import_module(name)


def read_kernel_list(path):
    """The build's kernel list, read by the bench's own reader."""
    return bench_module("kernel_list").read_kernel_list(path)


def executable_architecture(path):
    """("elf" or "pe", "x86_64", "i686", "aarch64" or None) of a program or
    library, from its header, by the bench's own reader; (None, None) for
    neither."""
    return bench_module("bench_programs").executable_architecture(path)


def run_program(program, args, argv0=None, timeout=120, env=None, **kwargs):
    """Runs program with args through the emulator, if any, with standard
    input closed; returns the subprocess.CompletedProcess. argv0, when
    given, is what the program is told its own name is; env adds to the
    environment. Other keywords go to subprocess.run (standard output and
    error are captured unless they say otherwise)."""
    command = list(OPTS.emulator) + [program] + list(args)
    executable = None
    if argv0 is not None:
        executable, command[len(OPTS.emulator)] = command[0], argv0
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(command, executable=executable, stdin=subprocess.DEVNULL, timeout=timeout,
                          env=None if env is None else dict(os.environ, **env), **kwargs)


def run_tests(*sources, skip_when_all_skipped=False):
    """Runs the test cases of each source (a TestCase class, or a module for
    all of its) and returns the exit status: 0 when all passed, 1 when any
    failed, and SKIP when skip_when_all_skipped and every test skipped."""
    loader = unittest.defaultTestLoader
    suite = unittest.TestSuite(loader.loadTestsFromModule(source) if isinstance(source, types.ModuleType)
                               else loader.loadTestsFromTestCase(source) for source in sources)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    if skip_when_all_skipped and result.testsRun > 0 and len(result.skipped) == result.testsRun:
        return SKIP
    return 0
