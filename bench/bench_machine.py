"""What the bench finds out about the machine it runs on and the checkout
it runs from: the processor, the core the programs are pinned to, what a
clock tick is, the conditions known to add noise, and the revision."""
import os
import platform
import re
import subprocess

import bench_programs


def processor_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def pin_to_one_core():
    """Pins this process, and so every program it starts, to the last core it
    may use (the first core tends to take the most interrupts). Returns the
    core, or None where the system offers no CPU affinity."""
    if not hasattr(os, "sched_setaffinity"):
        return None
    try:
        cpu = max(os.sched_getaffinity(0))
        os.sched_setaffinity(0, {cpu})
        return cpu
    except OSError:
        return None


def read_text(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return None


def counter_unit(program):
    """What a clock tick is for this Test binary, from the processor its
    executable header names (where no Latency run has said)."""
    kind, architecture = bench_programs.executable_architecture(program)
    if kind is None:
        return "clock ticks"
    if kind == "pe" or architecture in ("i686", "x86_64"):
        return "time-stamp counter ticks (RDTSC)"
    if architecture == "aarch64":
        return "virtual counter ticks (CNTVCT_EL0, at the rate of CNTFRQ_EL0)"
    return "monotonic clock nanoseconds"


def machine_conditions(emulator):
    """Conditions known to add noise that this machine shows, and what could
    not be read; emulator: the command the programs run under, if any."""
    found, unread = [], []
    governors = {read_text(f"/sys/devices/system/cpu/cpu{cpu}/cpufreq/scaling_governor")
                 for cpu in range(os.cpu_count() or 1)} - {None}
    if governors:
        found += [f"frequency governor '{g}', not 'performance'" for g in sorted(governors) if g != "performance"]
    else:
        unread.append("frequency governor")
    boost = read_text("/sys/devices/system/cpu/cpufreq/boost")
    no_turbo = read_text("/sys/devices/system/cpu/intel_pstate/no_turbo")
    if boost == "1" or no_turbo == "0":
        found.append("boost on")
    elif boost is None and no_turbo is None:
        unread.append("boost")
    if emulator:
        found.append(f"the programs run under an emulator ({os.path.basename(emulator[0])})")
    cpuinfo = read_text("/proc/cpuinfo")
    if cpuinfo is not None and re.search(r"^flags\s*:.*\bhypervisor\b", cpuinfo, re.M):
        found.append("a virtual machine (other guests share the cores)")
    return found, unread


def git_revision():
    """The checkout's revision where this script runs from one ("+" when it
    has changes), else None."""
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        top = subprocess.run(["git", "-C", here, "rev-parse", "--show-toplevel"], capture_output=True, text=True,
                             timeout=10, check=False).stdout.strip()
        if not top or os.path.realpath(os.path.join(top, "bench")) != os.path.realpath(here):
            return None
        revision = subprocess.run(["git", "-C", top, "describe", "--always", "--dirty=+", "--abbrev=12"],
                                  capture_output=True, text=True, timeout=10, check=False).stdout.strip()
        return revision or None
    except (OSError, subprocess.SubprocessError):
        return None
