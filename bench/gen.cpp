// gen.cpp - writes a synthetic RAM registry image for the benchmarks.
//
//   corvane_bench_gen OUT SIZE [--group KEYS] [--surplus PERCENT] [--seed N]
//
// Keys and values in a realistic mix: names of 4 to 60 characters, 0 to 8
// values a key with data of 0 to 300 bytes and one value in 2000 above 4096
// bytes; consecutive keys share their tag (a root: 0, 1 or 2) in groups of
// KEYS (default 32); values are tagged with the six value types the device
// knows. Without surplus bytes the image is one the device reads back
// whole. PERCENT of the records (default 0) carry 1 to 8 surplus bytes:
// such records are inconsistent, the device would not read the image back
// (repair mends it), and the output says so. Records are added until the
// image reaches SIZE bytes (suffixes k, m: KiB, MiB). Prints the image's
// size, records and keys.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

void put16(std::string &s, unsigned v) {
    s.push_back(char(v & 0xff));
    s.push_back(char((v >> 8) & 0xff));
}

long long parseSize(const char *text) {
    char *end = nullptr;
    long long n = std::strtoll(text, &end, 10);
    if (*end == 'k' || *end == 'K') n <<= 10;
    if (*end == 'm' || *end == 'M') n <<= 20;
    return n;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: corvane_bench_gen OUT SIZE [--group KEYS] [--surplus PERCENT] [--seed N]\n");
        return 2;
    }
    const char *out = argv[1];
    long long size = parseSize(argv[2]);
    int group = 32, surplusPct = 0;
    unsigned seed = 1;
    for (int i = 3; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--group")
            group = std::atoi(argv[i + 1]);
        else if (opt == "--surplus")
            surplusPct = std::atoi(argv[i + 1]);
        else if (opt == "--seed")
            seed = unsigned(std::atoi(argv[i + 1]));
        else {
            fprintf(stderr, "corvane_bench_gen: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    std::mt19937 rng(seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    FILE *f = fopen(out, "wb");
    if (!f) {
        perror(out);
        return 1;
    }
    std::string img = "\xb2\x74\x83\x1d" + std::string(4, '\0');
    long long written = 0, records = 0, keys = 0, withSurplus = 0;
    // REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ
    static const unsigned kTypes[] = {0, 1, 2, 3, 4, 7};
    std::string rec;
    auto surplus = [&](std::string &r) {
        if (pick(1, 100) > surplusPct) return 0;
        int n = pick(1, 8);
        ++withSurplus;
        r.append(size_t(n), '\xee');
        return n;
    };
    auto name = [&](std::string &r, int cch) {
        for (int i = 0; i < cch - 1; ++i) put16(r, unsigned(pick('a', 'z')));
        put16(r, 0);
    };
    unsigned tag = 0;
    while (written + (long long)img.size() < size) {
        if (keys % group == 0) tag = (tag + 1) % 3;  // a new group: another tag
        int cch = pick(5, 61);                       // 4 to 60 characters and the NUL
        rec.clear();
        put16(rec, 0);
        put16(rec, 1);
        put16(rec, tag);
        put16(rec, unsigned(cch));
        name(rec, cch);
        int extra = surplus(rec);
        rec[0] = char((4 + 2 * cch + extra) & 0xff);
        rec[1] = char((4 + 2 * cch + extra) >> 8);
        img += rec;
        ++keys;
        ++records;
        for (int v = pick(0, 8); v > 0; --v) {
            int vcch = pick(5, 61);
            int cbData = pick(1, 2000) == 1 ? pick(4097, 16000) : pick(0, 300);
            rec.clear();
            put16(rec, 0);
            put16(rec, 2);
            put16(rec, kTypes[pick(0, 5)]);
            put16(rec, unsigned(vcch));
            put16(rec, unsigned(cbData));
            name(rec, vcch);
            for (int i = 0; i < cbData; ++i) rec.push_back(char(rng()));
            extra = surplus(rec);
            unsigned length = unsigned(6 + 2 * vcch + cbData + extra);
            rec[0] = char(length & 0xff);
            rec[1] = char(length >> 8);
            img += rec;
            ++records;
        }
        if (img.size() > (1 << 20)) {
            fwrite(img.data(), 1, img.size(), f);
            written += (long long)img.size();
            img.clear();
        }
    }
    fwrite(img.data(), 1, img.size(), f);
    written += (long long)img.size();
    // totalSize: the whole image.
    unsigned char total[4] = {uint8_t(written), uint8_t(written >> 8), uint8_t(written >> 16), uint8_t(written >> 24)};
    fseek(f, 4, SEEK_SET);
    fwrite(total, 1, 4, f);
    if (fclose(f) != 0) {
        perror(out);
        return 1;
    }
    printf("%lld bytes, %lld records, %lld keys\n", written, records, keys);
    if (withSurplus > 0)
        printf("not whole: %lld records carry surplus bytes, the device would not read the image back\n", withSurplus);
    return 0;
}
