"""What the processor a test program runs on offers, for the tests that
expect a feature mask to pass or stop a run."""


def is_aarch64(program):
    """True when the program is an AArch64 executable (ELF machine 183)."""
    with open(program, "rb") as f:
        head = f.read(20)
    return head[:4] == b"\x7fELF" and int.from_bytes(head[18:20], "little") == 183


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
