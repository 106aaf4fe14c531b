// hive.cpp - runs the hive backup file's packing or unpacking in-process on
// files of a simulated device, for the benchmarks: the copy loops of
// corvaneHv and restRegHv (packHives, unpackHives), without the platform's
// RegSaveKey; and the trailer's CRC-32 alone.
//
//   corvane_bench_hive pack DEVICE SYSTEM USER BACKUP
//   corvane_bench_hive unpack DEVICE BACKUP SYSTEM USER
//   corvane_bench_hive crc BYTES
//
// Paths are device paths. Prints "result=R seconds=S peak_kib=K": the
// result, the wall time, and the process's peak resident memory. crc sums
// BYTES bytes in blocks of HIVE_COPY_CB, as the check does, and prints the
// sum as R.
#include "app/driver.h"
#include "platform/host/host.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    std::string op = argc > 1 ? argv[1] : "";
    if (!((op == "pack" || op == "unpack") && argc == 6) && !(op == "crc" && argc == 3)) {
        fprintf(stderr,
                "usage: corvane_bench_hive pack DEVICE SYSTEM USER BACKUP | unpack DEVICE BACKUP SYSTEM USER | crc "
                "BYTES\n");
        return 2;
    }
    long long result;
    double seconds;
    if (op == "crc") {
        std::vector<BYTE> bytes(std::strtoull(argv[2], nullptr, 10) + HIVE_COPY_CB);
        for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<BYTE>(i * 2654435761u >> 24);
        const size_t cb = bytes.size() - HIVE_COPY_CB;
        auto start = std::chrono::steady_clock::now();
        DWORD crc = 0;
        for (size_t at = 0; at < cb; at += HIVE_COPY_CB)
            crc = crc32Update(crc, bytes.data() + at, std::min<size_t>(HIVE_COPY_CB, cb - at));
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        result = crc;
    } else {
        host::selectDevice(argv[2]);
        pointRun(TEXT("\\Temp\\"), g_logging);
        std::u16string a = host::fromUtf8(argv[3]), b = host::fromUtf8(argv[4]), c = host::fromUtf8(argv[5]);
        auto start = std::chrono::steady_clock::now();
        result =
            op == "pack" ? packHives(c.c_str(), a.c_str(), b.c_str()) : unpackHives(a.c_str(), b.c_str(), c.c_str());
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("result=%lld seconds=%.6f peak_kib=%ld\n", result, seconds, usage.ru_maxrss);
    return op == "crc" || result == HV_DONE ? 0 : 1;
}
