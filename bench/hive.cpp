// hive.cpp - runs the hive backup file's packing or unpacking in-process on
// files of a simulated device, for the benchmarks: the copy loops of
// corvaneHv and restRegHv (packHives, unpackHives), without the platform's
// RegSaveKey.
//
//   corvane_bench_hive pack DEVICE SYSTEM USER BACKUP
//   corvane_bench_hive unpack DEVICE BACKUP SYSTEM USER
//
// Paths are device paths. Prints "result=R seconds=S peak_kib=K": the
// result, the wall time, and the process's peak resident memory.
#include "app/driver.h"
#include "platform/host/host.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char **argv) {
    std::string op = argc > 1 ? argv[1] : "";
    if ((op != "pack" && op != "unpack") || argc != 6) {
        fprintf(stderr,
                "usage: corvane_bench_hive pack DEVICE SYSTEM USER BACKUP | unpack DEVICE BACKUP SYSTEM USER\n");
        return 2;
    }
    host::selectDevice(argv[2]);
    wcscpy(g_tempDir, TEXT("\\Temp\\"));
    std::u16string a = host::fromUtf8(argv[3]), b = host::fromUtf8(argv[4]), c = host::fromUtf8(argv[5]);
    auto start = std::chrono::steady_clock::now();
    int result =
        op == "pack" ? packHives(c.c_str(), a.c_str(), b.c_str()) : unpackHives(a.c_str(), b.c_str(), c.c_str());
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("result=%d seconds=%.6f peak_kib=%ld\n", result, seconds, usage.ru_maxrss);
    return result == HV_DONE ? 0 : 1;
}
