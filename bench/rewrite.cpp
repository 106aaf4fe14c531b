// rewrite.cpp - runs one operation in-process on a file of a simulated
// device, for the benchmarks.
//
//   corvane_bench_rewrite init DEVICE            make a ram device there
//   corvane_bench_rewrite repair|reorder DEVICE PATH
//
// Prints "result=R seconds=S peak_kib=K": the operation's result, its wall
// time, and the process's peak resident memory. Under callgrind only the
// operation's instructions are collected (run with --collect-atstart=no).
#include "app/driver.h"
#include "platform/host/host.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

int main(int argc, char **argv) {
    std::string op = argc > 1 ? argv[1] : "";
    if (op == "init" && argc == 3) {
        std::string error;
        if (host::isDevice(argv[2])) return 0;
        if (!host::initDevice(argv[2], "ram", error)) {
            fprintf(stderr, "corvane_bench_rewrite: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if ((op != "repair" && op != "reorder") || argc != 4) {
        fprintf(stderr, "usage: corvane_bench_rewrite init DEVICE | repair|reorder DEVICE PATH\n");
        return 2;
    }
    host::selectDevice(argv[2]);
    pointRun(TEXT("\\Temp\\"), g_logging);
    std::u16string path = host::fromUtf8(argv[3]);
    auto start = std::chrono::steady_clock::now();
    CALLGRIND_TOGGLE_COLLECT;
    int result = op == "repair" ? repair(path.c_str()) : reorder(path.c_str());
    CALLGRIND_TOGGLE_COLLECT;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("result=%d seconds=%.6f peak_kib=%ld\n", result, seconds, usage.ru_maxrss);
    return 0;
}
