"""Running Test, Latency and Verify, and reading what they print.

Each report is read by its exact structure, from the names the bench gave,
so that nothing a library or procedure name holds can pass for a figure.
"""
import json
import os
import re
import shutil
import subprocess
import tempfile

# Test cuts its command line to this many characters before splitting it.
TEST_COMMAND_LINE_LIMIT = 511
# The longest path a Windows program may load a library from, less a margin
# for the drive wine puts before a path of its own system.
WINDOWS_PATH_LIMIT = 240
# What follows "Repeat:     " in a report of Test's, to its end.
TEST_REPORT_TAIL = re.compile(
    rb"([0-9]+) time\(s\)"
    rb"(?:\r\nTotal time: ([0-9]+) clock ticks(?:, ([0-9]+) ms\.)?"
    rb"(?:\r\nEach run:   [0-9]+ clock ticks(?:, [0-9]+ ms\.)?)?)?"
    rb"\r\n\r\n")


# The processors an executable is built for, by its header's machine field.
ELF_MACHINES = {3: "i686", 62: "x86_64", 183: "aarch64"}
PE_MACHINES = {0x14C: "i686", 0x8664: "x86_64", 0xAA64: "aarch64"}


def executable_architecture(path):
    """(format, architecture) of a program or library from its header:
    format "elf" or "pe", architecture "x86_64", "i686", "aarch64" or None
    for another; (None, None) when the file cannot be read as either."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError:
        return None, None
    if head[:4] == b"\x7fELF" and len(head) >= 20:
        return "elf", ELF_MACHINES.get(int.from_bytes(head[18:20], "little"))
    if head[:2] == b"MZ" and len(head) >= 0x40:
        offset = int.from_bytes(head[0x3C:0x40], "little")
        if head[offset:offset + 4] == b"PE\0\0":
            return "pe", PE_MACHINES.get(int.from_bytes(head[offset + 4:offset + 6], "little"))
    return None, None


def pe_bits(path):
    """32 or 64 for a Windows program, from its PE header; None when the
    file cannot be read as one."""
    kind, architecture = executable_architecture(path)
    return {"i686": 32, "x86_64": 64}.get(architecture) if kind == "pe" else None


# The build's choice of a wine loader, where this script sits in its source tree.
WINE_MODULE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "cmake", "wine.cmake")


def wine_loader(program, module=WINE_MODULE):
    """(command, reason): the wine loader that runs this Windows program on
    this host, as the build's module chooses it, or None and why it cannot
    run here. Without the module (an installed bench) it is the `wine`
    command."""
    bits = pe_bits(program)
    cmake = shutil.which("cmake")
    if not (os.path.isfile(module) and bits and cmake):
        return "wine", None
    status, out, err = run([cmake, f"-DMATMUL_WINE_BITS={bits}", "-P", module], 120)
    text = out.decode(errors="replace")
    loader = re.search(r"^loader=(.+)$", text, re.MULTILINE)
    if status == 0 and loader:
        return loader.group(1), None
    cannot = re.search(r"^cannot=(.*)$", text, re.MULTILINE)
    return None, cannot.group(1) if cannot else (err.decode(errors="replace").strip() or "no wine loader found")


def run(command, timeout):
    """(exit status, stdout bytes, stderr bytes); the status is None when the
    program could not be started or did not end within timeout seconds.
    The output goes to files, not pipes: a process the program leaves behind
    (wine's services) would hold a pipe open, and waiting for its end would
    outlast any timeout."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        try:
            process = subprocess.Popen(command, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        except OSError as error:
            return None, b"", str(error).encode(errors="replace")
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            return None, b"", f"no answer within {timeout:g} s".encode()
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def file_name_as_test_prints_it(path, windows):
    """The part of path after its last directory separator, as Test prints it."""
    separators = "/\\:" if windows else "/"
    cut = max(path.rfind(s) for s in separators)
    return path[cut + 1:]


def parse_test_report(out, library_name, procedure):
    """(count, total ticks, ms) from one report of Test's, or None when out is
    not exactly one report for this library file name and procedure. A run
    too short for the counter to move has no total: (count, 0, 0)."""
    head = b"Library:    " + os.fsencode(library_name) + b"\r\nProcedure:  " + os.fsencode(procedure) + \
        b"\r\nRepeat:     "
    if not out.startswith(head):
        return None
    match = TEST_REPORT_TAIL.fullmatch(out, len(head))
    if not match:
        return None
    return int(match.group(1)), int(match.group(2) or 0), int(match.group(3) or 0)


def no_report_reason(out, library_name, procedure):
    """Why out is not one of Test's reports for this library file name and
    procedure: the report's own lines among other text (a kernel that prints
    to standard output shares it with Test), or no report at all."""
    lines = [rb"Library:    " + re.escape(os.fsencode(library_name)) + rb"\r\n",
             rb"Procedure:  " + re.escape(os.fsencode(procedure)) + rb"\r\n",
             rb"Repeat:     [0-9]+ time\(s\)\r\n",
             rb"(?:Total time: [0-9]+ clock ticks(?:, [0-9]+ ms\.)?\r\n)?",
             rb"(?:Each run:   [0-9]+ clock ticks(?:, [0-9]+ ms\.)?\r\n)?"]
    position, other = 0, b""
    for line in lines:
        match = re.compile(line).search(out, position)
        if match is None:
            return "Test printed no report"
        other += out[position:match.start()]
        position = match.end()
    if (other + out[position:]).strip(b"\r\n"):
        return "the kernel's output is mixed with Test's report"
    return "Test printed no report"


def command_line_length(args):
    """An upper bound of the length of the command line Test rebuilds from
    its arguments: each one may be quoted, and is followed by a blank."""
    return sum(len(os.fsencode(a)) + 3 for a in args)


class ShortPaths:
    """Links in a temporary directory, for paths too long for Test's command
    line. Removed by close()."""

    def __init__(self):
        self.directory = None
        self.links = {}

    def link(self, path, name):
        """A short path to the file at path, ending in name. Each file gets a
        numbered directory of its own, so that two files of the same name
        never share a link; the same file keeps its link."""
        if self.directory is None:
            self.directory = tempfile.mkdtemp(prefix="mb")
        real = os.path.abspath(path)
        if (real, name) not in self.links:
            directory = os.path.join(self.directory, str(len(self.links)))
            os.mkdir(directory)
            target = os.path.join(directory, name)
            os.symlink(real, target)
            self.links[(real, name)] = target
        return self.links[(real, name)]

    def close(self):
        if self.directory:
            shutil.rmtree(self.directory, ignore_errors=True)
            self.directory = None


def test_invocation(program, path, procedure, mask, links, windows=False, count=2**31 - 1):
    """(program, library path) to give the programs so that Test's whole
    command line, the largest count included, stays within its limit, and on
    Windows the library path within the system's 260 characters: the same
    files under short names where the real ones are too long."""
    def fits(p, lib):
        return command_line_length([p, lib, procedure, str(count), mask]) <= TEST_COMMAND_LINE_LIMIT

    if fits(program, path) and not (windows and len(os.path.abspath(path)) >= WINDOWS_PATH_LIMIT):
        return program, path
    base = os.path.basename(path)
    _, extension = os.path.splitext(base)
    short = links.link(path, base if len(os.fsencode(base)) <= 64 else "kernel" + extension[:8])
    if not fits(program, short):
        program = links.link(program, "Test" + (".exe" if program.lower().endswith(".exe") else ""))
    return program, short


def feature_names(report):
    """The processor features a report of Verify's says are missing: its
    "missing_features" list, empty where it has none."""
    names = report.get("missing_features")
    return [str(name) for name in names] if isinstance(names, list) else []


def parse_verify_json(status, out):
    """Verify's judgement: {"verdict": "correct" | "wrong" | "not run" | None,
    "reason", "rounding", "hung" (the kernel did not return in some check),
    "missing_features"}; verdict None where Verify gave none."""
    try:
        result = json.loads(out.decode("utf-8", "replace"))
        return {"verdict": result["verdict"], "reason": result.get("reason") or "",
                "rounding": list(result.get("rounding") or []), "hung": result.get("returned") is False,
                "missing_features": feature_names(result)}
    except (ValueError, KeyError, TypeError, AttributeError):
        return {"verdict": None, "reason": f"Verify gave no verdict (exit status {status})", "rounding": [],
                "hung": False, "missing_features": []}


def parse_latency_json(status, out, count):
    """Latency's report as {"through_a", "through_b", "counter",
    "chain_exact" (true, false, or null where it judged nothing), "reason"}, or a {"reason"} alone when it timed nothing or its report is
    not one for count calls; {"chain_exact": False, "reason"} when the
    kernel faulted in a chain, which ends it before its figures."""
    try:
        result = json.loads(out.decode("utf-8", "replace"))
        reason = str(result.get("reason") or "")
        if status not in (0, 1):
            return {"reason": reason or f"Latency did not run the kernel (exit status {status})"}
        a, b = result["through_a"], result["through_b"]
        if result.get("count") != count:
            return {"reason": f"Latency ran {result.get('count')} calls when asked for {count}"}
        if not all(isinstance(x, (int, float)) and not isinstance(x, bool) and x >= 0 for x in (a, b)):
            if status == 1 and result.get("chain_exact") is False:
                return {"chain_exact": False, "reason": reason or "the kernel stopped the chain"}
            return {"reason": "Latency reported no figures"}
        return {"through_a": float(a), "through_b": float(b), "counter": str(result.get("counter") or ""),
                "chain_exact": result.get("chain_exact"), "reason": reason}
    except (ValueError, KeyError, TypeError, AttributeError):
        return {"reason": f"Latency gave no report (exit status {status})"}
