"""What the processor a test program runs on offers, for the tests that
expect a feature mask to pass or stop a run, and the feature table the
masks are made from."""
import collections
import os
import re

from test_support import executable_architecture

# The one table of processor features (see its header for the columns).
FEATURE_TABLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "common", "features.def")
Feature = collections.namedtuple("Feature", "name bit value printed cpuinfo")
_ROW = re.compile(r'MATMUL_FEATURE\(([A-Za-z0-9_]+), ([0-9]+), "([^"]+)", "([^"]+)", [A-Za-z0-9]+, [0-9]+, '
                  r'[A-Za-z0-9]+\)')


def read_features(path=FEATURE_TABLE):
    """The table's features, in its order. A row not in the table's form is
    an error, not a feature left out."""
    features = []
    with open(path) as f:
        for line in f:
            if not line.startswith("MATMUL_FEATURE"):
                continue
            match = _ROW.fullmatch(line.rstrip("\n"))
            if match is None:
                raise ValueError(f"{path}: not a row of the feature table: {line!r}")
            name, bit, printed, cpuinfo = match.groups()
            features.append(Feature(name, int(bit), 1 << int(bit), printed, cpuinfo))
    return features


FEATURES = read_features()


def is_aarch64(program):
    """True when the program is an AArch64 executable."""
    return executable_architecture(program) == ("elf", "aarch64")


def cpu_flags(program):
    """The features of the mask table the processor running `program` has,
    as the operating system reports them, or None when it does not say. On
    AArch64 none of them exists (and under an emulator /proc/cpuinfo would
    describe the host)."""
    if is_aarch64(program):
        return set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return None
