"""Reads the kernel list the build writes (build/bin/kernels.txt) from the
kernels' registrations: comment lines start with '#'; every other line is
tab-separated library file, procedure, mask, product ("a*b", "b*a" or
"none"), rounding models (comma-separated, or "-") and role ("null",
"calibration:<adds>", "baseline", "peer" for another library's product,
or "-"; a list written before roles existed has no such column). The
libraries sit beside the list. One comment line, "# build type: <type>",
names the build type the list comes from."""
import os

BUILD_TYPE_COMMENT = "# build type: "
# The roles a kernel may have besides none; calibration carries its adds.
ROLES = ("null", "calibration", "baseline", "peer")
# The roles of the kernels that compute nothing: they show the call floor and
# the clock, never a product.
COMPUTES_NOTHING = ("null", "calibration")


def parse_role(text):
    """(role, adds): ("null", None), ("calibration", 1000), ("baseline", None), ("peer", None) or ("", None)."""
    role, _, adds = text.partition(":")
    if role == "calibration" and adds.isdigit() and int(adds) > 0:
        return role, int(adds)
    if role in ROLES and role != "calibration" and not adds:
        return role, None
    return "", None


def read_kernel_list(path):
    directory = os.path.dirname(os.path.abspath(path))
    kernels = []
    # Library names are file names: whatever bytes they hold come through.
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            fields = line.rstrip("\r\n").split("\t")
            name, procedure, mask, product, rounding = fields[:5]
            role, adds = parse_role(fields[5] if len(fields) > 5 else "-")
            kernels.append({"library": name, "path": os.path.join(directory, name), "procedure": procedure,
                            "mask": mask, "product": product,
                            "rounding": [] if rounding == "-" else rounding.split(","),
                            "role": role, "adds": adds})
    return kernels


def read_build_type(path):
    """The build type the list names, "" for a build with none, None where it names nothing."""
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            for line in f:
                if line.startswith(BUILD_TYPE_COMMENT):
                    return line[len(BUILD_TYPE_COMMENT):].strip()
    except OSError:
        pass
    return None
