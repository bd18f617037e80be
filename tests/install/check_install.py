#!/usr/bin/env python3
"""Installs a build into a fresh prefix, builds the C-only project beside
this script against the installed package, and runs the installed Test on
the kernel it built and, by bare name, on a kernel shipped beside Test."""
import argparse
import os
import shutil
import subprocess
import sys

SKIP = 77


def run(*command, cwd=None):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result.stdout


def first_line(test, library, procedure, cwd):
    return run(test, library, procedure, "1000", cwd=cwd).splitlines()[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--build-dir", required=True, help="the build to install")
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--c-compiler", required=True)
    parser.add_argument("--nm", required=True)
    parser.add_argument("--cross", default="0", help="1 for a cross build, which is skipped")
    opts = parser.parse_args()
    if opts.cross == "1":
        print("cross build: the out-of-tree project would need the target's toolchain")
        return SKIP

    here = os.path.dirname(os.path.abspath(__file__))
    shutil.rmtree(opts.work_dir, ignore_errors=True)
    prefix = os.path.join(opts.work_dir, "prefix")
    build = os.path.join(opts.work_dir, "build")
    run(opts.cmake, "--install", opts.build_dir, "--prefix", prefix)
    run(opts.cmake, "-S", here, "-B", build, "-G", opts.generator,
        f"-DCMAKE_C_COMPILER={opts.c_compiler}", f"-DCMAKE_PREFIX_PATH={prefix}")
    run(opts.cmake, "--build", build)

    library = os.path.join(build, "bin", "my_kernel.so")
    run(sys.executable, os.path.join(here, "..", "check_exports.py"), "--tool", opts.nm,
        "--library", library, "my_kernel")
    test = os.path.join(prefix, "bin", "Test")
    failures = []
    for lib, procedure in ((library, "my_kernel"), ("null.so", "null_kernel")):
        line = first_line(test, lib, procedure, opts.work_dir)
        if line != f"Library:    {os.path.basename(lib)}":
            failures.append(f"installed Test on {lib}: first line {line!r}")
    print("\n".join(failures) or "the installed package builds a kernel the installed Test runs")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
