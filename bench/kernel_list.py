"""Reads the kernel list the build writes (build/bin/kernels.txt) from the
kernels' registrations: comment lines start with '#'; every other line is
tab-separated library file, procedure, mask, product ("a*b", "b*a" or
"none") and rounding models (comma-separated, or "-"). The libraries sit
beside the list."""
import os


def read_kernel_list(path):
    directory = os.path.dirname(os.path.abspath(path))
    kernels = []
    with open(path) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            name, procedure, mask, product, rounding = line.rstrip("\n").split("\t")
            kernels.append({"library": name, "path": os.path.join(directory, name), "procedure": procedure,
                            "mask": mask, "product": product,
                            "rounding": [] if rounding == "-" else rounding.split(",")})
    return kernels
