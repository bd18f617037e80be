"""A static model of a kernel's own instructions, by llvm-mca.

The block modelled is the exported function's machine code from its symbol
up to, not including, its return: the call and the return belong to the
call floor the bench measures with the null kernel. The code comes from the
library file itself, disassembled by the llvm-objdump of the same LLVM as
the llvm-mca, so that the two read the same syntax (AT&T on x86). A
function the straight-line model cannot follow (a call, a loop, any other
jump) is not modelled, and the reason says why.

llvm-mca reports, for the processor model chosen: the instructions and
micro-ops of the block, its block reciprocal throughput in core cycles (the
cycles per block when blocks run back to back, bounded by the busiest
resource or by the dispatch width) and the resource that bounds it. It
knows nothing of the call, of the memory round trip beyond its load and
store latencies, or of the front end.

Every function that can fail returns (value, None) or (None, reason); the
reasons start with "not modelled: "."""
import functools
import os
import platform
import re
import shutil
import subprocess

import bench_programs

TIMEOUT = 60
NOT_MODELLED = "not modelled: "
# The fields of a model, as model() gives them.
MODEL_FIELDS = ("cpu", "instructions", "uops", "rthroughput", "bottleneck")

# The architecture of this machine, as platform.machine() names it, in the
# same terms: "native" models this processor, so only its own code.
HOST_ARCHITECTURES = {"x86_64": "x86_64", "amd64": "x86_64", "i386": "i686", "i686": "i686",
                      "aarch64": "aarch64", "arm64": "aarch64"}

# Mnemonics that leave the straight line, on x86 and AArch64 (prefixes such
# as "notrack" or "bnd" are read past). x86's j* are all jumps.
RETURNS = {"ret", "retq", "retl", "retw", "retaa", "retab"}
CALLS = {"call", "callq", "calll", "callw", "bl", "blr", "blraa", "blraaz", "blrab", "blrabz"}
JUMPS = {"loop", "loope", "loopne", "b", "br", "braa", "braaz", "brab", "brabz", "cbz", "cbnz", "tbz", "tbnz"}
PREFIXES = {"notrack", "bnd", "rep", "repz", "repe", "repnz", "repne", "lock", "ds", "cs"}

# llvm-objdump -d: "<address> <symbol>:" opens a function (once more for
# each other name at that address, such as a PE library's export), and each
# instruction line is "<address>:<spaces><instruction>", the address
# indented when it is short.
SYMBOL_LINE = re.compile(r"^([0-9a-fA-F]+) <(.+)>:\s*$")
INSTRUCTION_LINE = re.compile(r"^\s*([0-9a-fA-F]+):\s+(\S.*?)\s*$")
# A jump's or call's target as llvm-objdump prints it: "0x1130 <name+0x30>".
TARGET = re.compile(r"(?:0x)?([0-9a-fA-F]+)(?:\s+<([^>+]+)(?:\+0x[0-9a-fA-F]+)?>)?")
# The symbol llvm-objdump names beside an address ("adrp x4, 0x20000
# <name+0x40>"), which no assembler reads.
ANNOTATION = re.compile(r"\s+<[^<>]*>")


def find_mca(explicit=None):
    """The llvm-mca to use: the one given (a path or a command name), else
    the newest installed, llvm-mca-NN on the PATH with the highest NN, or
    plain llvm-mca; None when there is none."""
    if explicit:
        return shutil.which(explicit) or (explicit if os.path.isfile(explicit) else None)
    best = None
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        try:
            names = os.listdir(directory or ".")
        except OSError:
            continue
        for name in names:
            match = re.fullmatch(r"llvm-mca-([0-9]+)(\.exe)?", name)
            path = os.path.join(directory, name)
            if match and (best is None or int(match.group(1)) > best[0]) and shutil.which(path):
                best = int(match.group(1)), path
    return best[1] if best else shutil.which("llvm-mca")


def find_objdump(mca):
    """The llvm-objdump of the same LLVM as this llvm-mca: the same name
    with "mca" for "objdump" (so the same version suffix), beside it or on
    the PATH; None when there is none."""
    directory, name = os.path.split(mca)
    objdump = name.replace("llvm-mca", "llvm-objdump", 1)
    beside = os.path.join(directory, objdump)
    return beside if shutil.which(beside) else shutil.which(objdump)


@functools.lru_cache(maxsize=None)
def mca_host(mca):
    """(LLVM version, host processor name) from `llvm-mca --version`; either
    is None where it does not say (LLVM 14 says "(unknown)" for a processor
    newer than itself)."""
    try:
        out = subprocess.run([mca, "--version"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL, timeout=TIMEOUT).stdout.decode(errors="replace")
    except (OSError, subprocess.TimeoutExpired):
        return None, None
    version = re.search(r"LLVM version ([0-9][^\s]*)", out)
    host = re.search(r"Host CPU: (\S+)", out)
    host = host.group(1) if host and host.group(1) not in ("(unknown)", "generic") else None
    return version.group(1) if version else None, host


def library_triple(path):
    """(architecture for -mtriple, None) from the library's ELF or PE header
    ("x86_64", "i686" or "aarch64"), or (None, reason)."""
    if not os.access(path, os.R_OK):
        return None, f"{NOT_MODELLED}cannot read the library"
    _, architecture = bench_programs.executable_architecture(path)
    return (architecture, None) if architecture else (None, f"{NOT_MODELLED}not an x86 or AArch64 library")


def mnemonic(instruction):
    """The instruction's mnemonic, lower case, past any prefix."""
    words = instruction.split("#", 1)[0].split("//", 1)[0].split()
    while len(words) > 1 and words[0].lower() in PREFIXES:
        words = words[1:]
    return words[0].lower() if words else ""


def branch_kind(name, operands, start, address, procedure):
    """"call", "loop" (a jump back into the function) or "jump" for an
    instruction that leaves the straight line; None for one that does not."""
    if name in CALLS:
        return "call"
    if not (name in JUMPS or name.startswith("j") or name.startswith("b.")):
        return None
    target = TARGET.fullmatch(operands.split(",")[-1].strip())
    if target and target.group(2) and target.group(2) != procedure:
        return "call"  # a tail call
    if target and start <= int(target.group(1), 16) <= address:
        return "loop"
    return "jump"


def cut_function(disassembly, procedure):
    """(instruction lines, None) from llvm-objdump's disassembly: those of
    `procedure` from its symbol up to its first return, that return left
    out; or (None, reason) when the symbol is not there, or when a call or a
    jump comes before that return. The reason names the first call in the
    function, else its first loop, else its first jump."""
    start, lines, branches = None, [], {}
    for line in disassembly.splitlines():
        symbol = SYMBOL_LINE.match(line)
        if symbol:
            if start is not None and int(symbol.group(1), 16) != start:
                break
            if symbol.group(2) == procedure:
                start = int(symbol.group(1), 16)
            continue
        instruction = INSTRUCTION_LINE.match(line) if start is not None else None
        if not instruction:
            continue
        address, text = int(instruction.group(1), 16), instruction.group(2)
        name = mnemonic(text)
        if name in RETURNS and not branches:
            return lines, None
        kind = branch_kind(name, text.split(None, 1)[-1], start, address, procedure)
        if kind:
            branches.setdefault(kind, f"at {address:#x}: {' '.join(text.split())}")
        elif not branches:
            lines.append(ANNOTATION.sub("", text))
    if start is None:
        return None, f"{NOT_MODELLED}no such symbol as {procedure} in the library"
    words = {"call": "it calls another function", "loop": "it has a loop", "jump": "it has a jump"}
    for kind, what in words.items():
        if kind in branches:
            return None, f"{NOT_MODELLED}{what} ({branches[kind]})"
    return None, f"{NOT_MODELLED}no return found in {procedure}"


def function_code(library_path, procedure, objdump):
    """(assembly lines, None): the exported function's instructions up to
    its return, as `objdump` (an llvm-objdump) disassembles them from the
    library file; or (None, reason)."""
    if not objdump:
        return None, f"{NOT_MODELLED}no disassembler (llvm-objdump beside llvm-mca)"
    command = [objdump, "-d", "--no-show-raw-insn", f"--disassemble-symbols={procedure}", library_path]
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              stdin=subprocess.DEVNULL, timeout=TIMEOUT)
    except (OSError, subprocess.TimeoutExpired) as e:
        return None, f"{NOT_MODELLED}the disassembler did not run ({e})"
    if done.returncode != 0:
        first = (done.stderr.decode(errors="replace").strip().splitlines() or ["no message"])[0]
        return None, f"{NOT_MODELLED}the disassembler failed ({first})"
    return cut_function(done.stdout.decode(errors="replace"), procedure)


def pressure_table(text):
    """{resource name: pressure per iteration} from llvm-mca's "Resources"
    legend and its "Resource pressure per iteration" table; the units of one
    resource ([12.0], [12.1]) keep the busiest."""
    names = dict(re.findall(r"^(\[[0-9.]+\])\s+-\s+(\S+)\s*$", text, re.MULTILINE))
    table = re.search(r"^Resource pressure per iteration:\n(.*)\n(.*)$", text, re.MULTILINE)
    if not table:
        return {}
    pressure = {}
    for column, value in zip(table.group(1).split(), table.group(2).split()):
        name = names.get(column, column)
        pressure[name] = max(pressure.get(name, 0.0), 0.0 if value == "-" else float(value))
    return pressure


def parse_summary(text):
    """The per-block figures of llvm-mca's report: (dict, None) with
    instructions and uops per block (its totals over the iterations it ran,
    divided by them), rthroughput (its Block RThroughput) and bottleneck; or
    (None, reason) when the report lacks them.

    The bottleneck is the busiest resource of the table of resource
    pressure per iteration (with those within 1 % of it: the units of a
    pair share the work), or the dispatch width when the block's micro-ops
    take longer to dispatch than any resource is busy. That table is in
    every report of every version, and it holds the same resources the
    Block RThroughput is bounded by. llvm-mca's bottleneck analysis is not
    used: a report has it only on request, and it also weighs the register
    dependencies its back-to-back simulation makes from one block to the
    next, which are no cost of the block itself."""
    fields = {}
    for key in ("Iterations", "Instructions", "Total uOps", "Dispatch Width", "Block RThroughput"):
        match = re.search(rf"^{key}:\s+([0-9.]+)\s*$", text, re.MULTILINE)
        if not match:
            return None, f"{NOT_MODELLED}llvm-mca's report has no {key}"
        fields[key] = float(match.group(1))
    iterations = fields["Iterations"] or 1
    uops = fields["Total uOps"] / iterations
    pressure = pressure_table(text)
    busiest = max(pressure.values(), default=0.0)
    dispatch = uops / fields["Dispatch Width"] if fields["Dispatch Width"] else 0.0
    if busiest > 0 and busiest >= dispatch:
        bottleneck = ", ".join(name for name, value in pressure.items() if value >= busiest * 0.99)
    else:
        bottleneck = f"dispatch ({fields['Dispatch Width']:g} micro-ops a cycle)"
    uops = round(uops, 2)
    return {"instructions": round(fields["Instructions"] / iterations),
            "uops": int(uops) if uops.is_integer() else uops,
            "rthroughput": fields["Block RThroughput"], "bottleneck": bottleneck}, None


def model(mca, assembly, cpu="native", triple=None):
    """(dict, None) with cpu, instructions, uops, rthroughput and bottleneck
    for the block of assembly lines on llvm-mca's model of `cpu`, for the
    architecture `triple` (None: llvm-mca's default); or (None, reason).
    "native" is this machine's processor as this llvm-mca names it, and
    models only this machine's architecture."""
    version, host = mca_host(mca)
    llvm = f"llvm-mca {version}" if version else "llvm-mca"
    if cpu == "native":
        here = HOST_ARCHITECTURES.get(platform.machine().lower())
        if triple and here and triple != here and not (triple == "i686" and here == "x86_64"):
            return None, (f"{NOT_MODELLED}this machine is {here} and the library {triple}: "
                          f"name an {triple} processor to model")
        if not host:
            return None, f"{NOT_MODELLED}{llvm} does not know this processor: name one it knows to model"
        cpu = host
    command = [mca, f"-mcpu={cpu}"] + ([f"-mtriple={triple}"] if triple else [])
    # An empty block (a function that only returns) is checked on a "nop",
    # so that a processor llvm-mca does not know is refused alike.
    block = "\n".join(assembly) + "\n" if assembly else "nop\n"
    try:
        done = subprocess.run(command, input=block.encode(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=TIMEOUT)
    except (OSError, subprocess.TimeoutExpired) as e:
        return None, f"{NOT_MODELLED}llvm-mca did not run ({e})"
    err = done.stderr.decode(errors="replace")
    if "is not a recognized processor" in err or "scheduling information" in err:
        target = triple or "its default target"
        return None, f"{NOT_MODELLED}{llvm} has no model of the processor {cpu!r} for {target}"
    unsupported = re.search(r"^note: instruction:\s*(.*?)\s*$", err, re.MULTILINE)
    if "unsupported instruction" in err and unsupported:
        return None, (f"{NOT_MODELLED}{llvm}'s {cpu} model has no figures for "
                      f"{' '.join(unsupported.group(1).split())} (an instruction that processor may lack)")
    if done.returncode != 0:
        first = next((line for line in err.splitlines() if "error" in line), err.strip() or "no message")
        return None, f"{NOT_MODELLED}llvm-mca refused the block ({first.strip()})"
    if not assembly:
        return {"cpu": cpu, "instructions": 0, "uops": 0, "rthroughput": 0.0, "bottleneck": None}, None
    figures, reason = parse_summary(done.stdout.decode(errors="replace"))
    return (dict(cpu=cpu, **figures), None) if figures else (None, reason)


def model_kernel(mca, library_path, procedure, cpu="native"):
    """(model dict, None) for one kernel of a library, or (None, reason)."""
    triple, reason = library_triple(library_path)
    if reason:
        return None, reason
    assembly, reason = function_code(library_path, procedure, find_objdump(mca))
    if reason:
        return None, reason
    return model(mca, assembly, cpu, triple)
