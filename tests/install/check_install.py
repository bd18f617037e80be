#!/usr/bin/env python3
"""Installs a build into a fresh prefix, builds the C-only project beside
this script against the installed package (naming no build type: the kernel
must be optimised all the same; registered by feature names or by a mask,
it must be listed with the mask the feature table gives, in the kernel list
the package writes on its own, where the installed matmul4-bench reads it;
a kernel naming features builds with their flags; the project's warnings
stay its own), runs the installed Test on the kernel it built and, by bare
name, on a kernel shipped beside Test, and has the installed matmul4-bench
time the kernel from outside any checkout."""
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from test_support import SKIP, options_parser, parse_options, read_kernel_list  # noqa: E402


def run(*command, cwd=None):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result.stdout


def first_line(test, library, procedure, cwd):
    return run(test, library, procedure, "1000", cwd=cwd).splitlines()[0]


def main():
    parser = options_parser("--cmake", "--work-dir", "--generator", "--c-compiler", "--nm", emulator=False)
    parser.add_argument("--build-dir", required=True, help="the build to install")
    parser.add_argument("--cross", default="0", help="1 for a cross build, which is skipped")
    opts = parse_options(parser)
    if opts.cross == "1":
        print("cross build: the out-of-tree project would need the target's toolchain")
        return SKIP

    here = os.path.dirname(os.path.abspath(__file__))
    shutil.rmtree(opts.work_dir, ignore_errors=True)
    prefix = os.path.join(opts.work_dir, "prefix")
    build = os.path.join(opts.work_dir, "build")
    run(opts.cmake, "--install", opts.build_dir, "--prefix", prefix)
    run(opts.cmake, "-S", here, "-B", build, "-G", opts.generator, "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
        f"-DCMAKE_C_COMPILER={opts.c_compiler}", f"-DCMAKE_PREFIX_PATH={prefix}")
    run(opts.cmake, "--build", build)
    failures = []
    with open(os.path.join(build, "compile_commands.json")) as f:
        commands = [c["command"] for c in json.load(f) if c["file"].endswith("my_kernel.c")]
    if not commands or "-O2" not in commands[0].split():
        failures.append(f"the kernel is built without optimisation: {commands}")
    if any("-Werror" in c.split() for c in commands):
        failures.append(f"the package makes the project's warnings errors: {commands}")
    # Each kernel by its library's path from the list's folder, with the mask
    # its features add up to.
    kernel_list = os.path.join(build, "kernels.txt")
    expected = {"my_kernel": "0", "my_kernel_features": "6", "my_kernel_mask": "6"}
    if platform.machine().lower() in ("x86_64", "amd64", "i386", "i486", "i586", "i686", "x86"):
        expected["my_kernel_avx"] = "1536"
    listed = {k["library"]: k["mask"] for k in read_kernel_list(kernel_list)}
    want = {f"bin/{name}.so": mask for name, mask in expected.items()}
    if listed != want:
        failures.append(f"the project's kernel list holds {listed}, not {want}")
    failures += [f"the list's {path} is not there" for path in listed if not os.path.isfile(os.path.join(build, path))]

    library = os.path.join(build, "bin", "my_kernel.so")
    run(sys.executable, os.path.join(here, "..", "check_exports.py"), "--tool", opts.nm,
        "--library", library, "my_kernel")
    test = os.path.join(prefix, "bin", "Test")
    for lib, procedure in ((library, "my_kernel"), ("null.so", "null_kernel")):
        line = first_line(test, lib, procedure, opts.work_dir)
        if line != f"Library:    {os.path.basename(lib)}":
            failures.append(f"installed Test on {lib}: first line {line!r}")
    # The installed bench, from a directory with no checkout above it.
    bench_command = [sys.executable, os.path.join(prefix, "bin", "matmul4-bench")]
    shown = run(*bench_command, "--kernel-list", kernel_list, "--list", cwd=tempfile.gettempdir())
    for name, mask in expected.items():
        rows = (line.split("\t") for line in shown.splitlines())
        if not any(f"{name}.so" in map(os.path.basename, row) and mask in row for row in rows):
            failures.append(f"matmul4-bench --kernel-list --list shows no {name} with mask {mask}:\n{shown}")
    results = os.path.join(opts.work_dir, "bench.json")
    bench = subprocess.run([*bench_command, "--only", "null_kernel",
                            "--kernel", f"{library}:my_kernel=mine", "--runs", "2", "--ms", "10",
                            "--max-seconds", "5", "--precision", "50", "--json", results],
                           cwd=tempfile.gettempdir(), capture_output=True, text=True, timeout=300)
    timed = []
    if bench.returncode == 0:
        with open(results) as f:
            timed = [k["label"] for k in json.load(f)["kernels"] if len(k["ticks"]) >= 2]
    if "mine" not in timed:
        failures.append(f"the installed matmul4-bench did not time the kernel ({bench.returncode}):\n"
                        f"{bench.stdout}{bench.stderr}")
    print("\n".join(failures) or "the installed package builds a kernel the installed Test runs")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
