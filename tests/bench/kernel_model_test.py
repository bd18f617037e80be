#!/usr/bin/env python3
"""The bench's static model of a kernel's own instructions: how it reads
llvm-mca's reports and cuts a function from llvm-objdump's disassembly, on
text both printed (group "canned"), and one real model of Mat_Mult_AVX2
where llvm-mca is installed (group "mca"; skipped, with the reason, where it
is not or the build has no such kernel)."""
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from test_support import (OPTS, SANITIZED_NO_MODEL, options_parser, parse_options, read_kernel_list,  # noqa: E402
                          run_tests)


def kernel_model():
    sys.path.insert(0, os.path.dirname(OPTS.script))
    import kernel_model
    return kernel_model


# llvm-mca 14 and 19 on Mat_Mult_AVX2 (gcc 12), -mcpu=znver3, trimmed to the
# summary and the resource pressure per iteration.
MCA_14 = """Iterations:        100
Instructions:      2800
Total Cycles:      917
Total uOps:        2800

Dispatch Width:    6
uOps Per Cycle:    3.05
IPC:               3.05
Block RThroughput: 6.0

Resources:
[0]   - Zn3AGU0
[1]   - Zn3AGU1
[2]   - Zn3AGU2
[3]   - Zn3ALU0
[4]   - Zn3ALU1
[5]   - Zn3ALU2
[6]   - Zn3ALU3
[7]   - Zn3BRU1
[8]   - Zn3FPP0
[9]   - Zn3FPP1
[10]  - Zn3FPP2
[11]  - Zn3FPP3
[12.0] - Zn3FPP45
[12.1] - Zn3FPP45
[13]  - Zn3FPSt
[14.0] - Zn3LSU
[14.1] - Zn3LSU
[14.2] - Zn3LSU
[15.0] - Zn3Load
[15.1] - Zn3Load
[15.2] - Zn3Load
[16.0] - Zn3Store
[16.1] - Zn3Store


Resource pressure per iteration:
[0]    [1]    [2]    [3]    [4]    [5]    [6]    [7]    [8]    [9]    [10]   [11]   [12.0] [12.1] [13]   [14.0] [14.1] [14.2] [15.0] [15.1] [15.2] [16.0] [16.1]
 -      -      -      -      -      -      -      -     6.98   9.02   8.98   2.02   4.00   4.00   2.00   2.66   2.67   2.67   2.00   2.00   2.00   1.00   1.00
"""

MCA_19 = """Iterations:        100
Instructions:      2800
Total Cycles:      849
Total uOps:        2800

Dispatch Width:    6
uOps Per Cycle:    3.30
IPC:               3.30
Block RThroughput: 6.0

Resources:
[0]   - Zn3AGU0
[1]   - Zn3AGU1
[2]   - Zn3AGU2
[3]   - Zn3ALU0
[4]   - Zn3ALU1
[5]   - Zn3ALU2
[6]   - Zn3ALU3
[7]   - Zn3BRU1
[8]   - Zn3FP0
[9]   - Zn3FP1
[10]  - Zn3FP2
[11]  - Zn3FP3
[12.0] - Zn3FP45
[12.1] - Zn3FP45
[13]  - Zn3FPSt
[14.0] - Zn3LSU
[14.1] - Zn3LSU
[14.2] - Zn3LSU
[15.0] - Zn3Load
[15.1] - Zn3Load
[15.2] - Zn3Load
[16.0] - Zn3Store
[16.1] - Zn3Store


Resource pressure per iteration:
[0]    [1]    [2]    [3]    [4]    [5]    [6]    [7]    [8]    [9]    [10]   [11]   [12.0] [12.1] [13]   [14.0] [14.1] [14.2] [15.0] [15.1] [15.2] [16.0] [16.1]
 -      -      -      -      -      -      -      -     4.36   8.32   8.31   2.01   4.00   4.00   2.00   2.66   2.67   2.67   2.00   2.00   2.00   1.00   1.00
"""

# llvm-objdump 19, trimmed: gcc's x86-64 outerprod Mat_Mult, AArch64's, and
# a function with a loop and one with a call.
DISASSEMBLY = """
outerprod.so:	file format elf64-x86-64

Disassembly of section .text:

0000000000001100 <Mat_Mult>:
    1100:      	pxor	%xmm0, %xmm0
    1137:      	movss	%xmm1, 0x2ee5(%rip)     # 0x4024 <_ZN12_GLOBAL__N_18g_columnE+0x4>
    13e5:      	xorl	%eax, %eax
    13e7:      	retq
    13e8:      	nopl	(%rax,%rax)

00000000000013f0 <Mat_Mult_Next>:
    13f0:      	retq

0000000000000560 <Mat_Mult_A64>:
     560:      	movi	v0.4s, #0x0
     568:      	adrp	x4, 0x20000 <_GLOBAL_OFFSET_TABLE_+0x40>
     b48:      	mov	x0, #0x10               // =16
     b50:      	ret

0000000000001109 <loop>:
    1109:      	testl	%esi, %esi
    110b:      	jle	0x1129 <loop+0x20>
    111b:      	addss	(%rax), %xmm0
    1126:      	jne	0x111b <loop+0x12>
    1128:      	retq
    1129:      	pxor	%xmm0, %xmm0
    112d:      	retq

000000000000112e <calls>:
    112e:      	pushq	%rbx
    1138:      	callq	0x1030 <g@plt>
    1145:      	retq
"""
# The same from a 64-bit Windows library: the function named twice (its
# symbol and its export), the long addresses not indented.
PE_DISASSEMBLY = """
avx2.dll:	file format coff-x86-64

Disassembly of section .text:

00000001c2411380 <Mat_Mult_AVX2>:
00000001c2411380 <Mat_Mult_AVX2>:
1c2411380:     	subq	$0x18, %rsp
1c2411418:     	addq	$0x18, %rsp
1c241141c:     	retq
1c241141d:     	nop
"""


class Canned(unittest.TestCase):
    def test_llvm_mca_reports_of_two_versions(self):
        km = kernel_model()
        # Per block, not per 100 iterations; the pair of units busiest alike
        # (to 1 %) is named as one bottleneck.
        for report, pair in ((MCA_14, "Zn3FPP1, Zn3FPP2"), (MCA_19, "Zn3FP1, Zn3FP2")):
            with self.subTest(pair=pair):
                self.assertEqual(km.parse_summary(report),
                                 ({"instructions": 28, "uops": 28, "rthroughput": 6.0, "bottleneck": pair}, None))
        idle = MCA_19.rsplit("\n -", 1)[0] + "\n" + " -     " * 23 + "\n"
        self.assertEqual(km.parse_summary(idle)[0]["bottleneck"], "dispatch (6 micro-ops a cycle)")
        self.assertEqual(km.parse_summary("error: no assembly instructions found.\n"),
                         (None, "not modelled: llvm-mca's report has no Iterations"))

    def test_function_cut_from_a_disassembly(self):
        km = kernel_model()
        # Up to the return, without it, the padding or the next function, and
        # without the names llvm-objdump puts beside an address.
        self.assertEqual(km.cut_function(DISASSEMBLY, "Mat_Mult"),
                         (["pxor\t%xmm0, %xmm0",
                           "movss\t%xmm1, 0x2ee5(%rip)     # 0x4024",
                           "xorl\t%eax, %eax"], None))
        self.assertEqual(km.cut_function(DISASSEMBLY, "Mat_Mult_A64"),
                         (["movi\tv0.4s, #0x0", "adrp\tx4, 0x20000", "mov\tx0, #0x10               // =16"], None))
        self.assertEqual(km.cut_function(PE_DISASSEMBLY, "Mat_Mult_AVX2"),
                         (["subq\t$0x18, %rsp", "addq\t$0x18, %rsp"], None))
        for procedure, reason in (
                ("loop", "it has a loop (at 0x1126: jne 0x111b <loop+0x12>)"),
                ("calls", "it calls another function (at 0x1138: callq 0x1030 <g@plt>)"),
                ("Mat_Mul", "no such symbol as Mat_Mul in the library")):
            with self.subTest(procedure=procedure):
                self.assertEqual(km.cut_function(DISASSEMBLY, procedure), (None, "not modelled: " + reason))

    def test_newest_llvm_mca_and_its_disassembler(self):
        km = kernel_model()
        with tempfile.TemporaryDirectory() as directory:
            for name in ("llvm-mca", "llvm-mca-9", "llvm-mca-14", "llvm-objdump-14"):
                path = os.path.join(directory, name)
                with open(path, "w") as f:
                    f.write("#!/bin/sh\n")
                os.chmod(path, 0o755)
            path = os.environ["PATH"]
            os.environ["PATH"] = directory
            try:
                mca = km.find_mca()
            finally:
                os.environ["PATH"] = path
            self.assertEqual(mca, os.path.join(directory, "llvm-mca-14"))
            self.assertEqual(km.find_objdump(mca), os.path.join(directory, "llvm-objdump-14"))
            self.assertIsNone(km.find_objdump(os.path.join(directory, "llvm-mca-9")))


class RealModel(unittest.TestCase):
    def test_model_of_mat_mult_avx2(self):
        km = kernel_model()
        mca = km.find_mca()
        if not mca:
            self.skipTest("llvm-mca is not installed (llvm-mca-NN or llvm-mca on the PATH)")
        kernel = next((k for k in read_kernel_list(OPTS.kernels) if k["procedure"] == "Mat_Mult_AVX2"), None)
        if not kernel:
            self.skipTest("this build has no Mat_Mult_AVX2 (an x86 kernel)")
        if OPTS.sanitized:
            self.skipTest(SANITIZED_NO_MODEL)
        triple, _ = km.library_triple(kernel["path"])
        code, reason = km.function_code(kernel["path"], "Mat_Mult_AVX2", km.find_objdump(mca))
        self.assertIsNone(reason)
        # Haswell: the first processor with AVX2 and FMA, known to every llvm-mca.
        model, reason = km.model(mca, code, "haswell", triple)
        self.assertIsNone(reason)
        self.assertEqual((model["cpu"], model["instructions"]), ("haswell", len(code)))
        self.assertGreater(model["rthroughput"], 0)
        self.assertTrue(model["bottleneck"])
        self.assertEqual(km.model(mca, code, "no-such-processor", triple)[1],
                         f"not modelled: llvm-mca {km.mca_host(mca)[0]} has no model of the processor "
                         f"'no-such-processor' for {triple}")


GROUPS = {"canned": Canned, "mca": RealModel}


def main():
    parser = options_parser("--script", "--kernels", "--group", emulator=False)
    parse_options(parser)
    # A group whose only test cannot run here is skipped as a whole.
    return run_tests(GROUPS[OPTS.group], skip_when_all_skipped=True)


if __name__ == "__main__":
    sys.exit(main())
