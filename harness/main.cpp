#include "benchmark_driver.h"
#include "process.h"

int main(int argc, char **argv)
{
    platform::InitProcess(argc, argv);
    RunTestProgram();
}
