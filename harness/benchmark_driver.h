// One benchmark run of the Test program, from the command line to exit.
#pragma once

// Everything main does once the platform layer is set up: fills the
// operands, takes the command line, runs the benchmark and exits with
// status 0. Never returns.
[[noreturn]] void RunTestProgram();
