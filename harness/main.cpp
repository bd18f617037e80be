#include "benchmark_driver.h"
#include "platform.h"

int main(int argc, char **argv)
{
    platform::InitProcess(argc, argv);
    Start();
}
