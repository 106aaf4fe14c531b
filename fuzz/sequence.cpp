// sequence.cpp - fuzz target: the restore and rewrite decisions of the
// operation sequence on any file at the file argument, with the options
// lr, lrh, lc, lx, lcx, lrc or lrcx (chosen by the input's length). Besides
// the sanitizers' checks:
// - the platform's restore is only ever handed a whole RAM registry image
//   (whatever the device will boot from passes the image check), so a
//   damaged or foreign file never makes the device fall back to its default
//   registry;
// - a run that hands nothing over leaves the registry as it was;
// - a rewrite keeps every whole record the file held, and the file is
//   never left cut short;
// - the run ends with exit code 1 and leaves no temporary file of a
//   rewrite behind.
#include "fuzz/support.h"
#include "tests/ramimage/imagebytes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "platform/host/host.h"
#include "platform/host/registry_store.h"

namespace {

std::string hostFile(const host::fs::path &p, bool *there = nullptr) {
    std::string bytes;
    bool opened = fuzz::hostFile(p.string(), bytes);
    if (there) *there = opened;
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const char16_t *const kOptions[] = {u"lr", u"lrh", u"lc", u"lx", u"lcx", u"lrc", u"lrcx"};
    const char16_t *options = kOptions[size % 7];
    const bool restores = size % 7 < 2 || size % 7 > 4;
    fuzz::prepare(data, size);
    // The device and its paths stay the same for the whole run.
    static const host::fs::path pendingPath = host::reg::pendingRestorePath();
    static const host::fs::path storePath = host::reg::objectStorePath();
    // No pending restore before an input: the fresh device has none and
    // every input removes the one it made (below).
    const std::string before(reinterpret_cast<const char *>(data), size);
    // The live registry is the fresh device's before every input (one that
    // changed it would have stopped the run): read once.
    static const std::string registryBefore = hostFile(storePath);
    // What \Temp holds before an input: what the fresh device held, as every
    // input leaves \Temp as it found it (checked below).
    static const std::vector<std::string> tempBefore = fuzz::temp();

    WCHAR work[] = u"\\Temp\\NEW1.tmp";
    int exitCode = runSequence(nullptr, options, fuzz::INPUT_PATH, work);
    fuzz::check(exitCode == 1, "exit code 1");

    bool pending = false;
    std::string restore = hostFile(pendingPath, &pending);
    if (pending) {
        fuzz::check(restores, "only a restore hands a file over");
        ImageCheck check;
        imageCheckStart(&check, static_cast<int64_t>(restore.size()));
        imageCheckFeed(&check, reinterpret_cast<const BYTE *>(restore.data()), restore.size());
        fuzz::check(imageCheckEnd(&check) == IMAGE_WHOLE, "RegRestoreFile only of a whole RAM registry image");
    }
    // The buffers of the checks are kept from input to input.
    static std::string store, after;
    static const std::string storeFile = storePath.string();
    fuzz::hostFile(storeFile, store);
    fuzz::check(store == registryBefore, "the live registry untouched");

    fuzz::input(after);
    if (!restores) {
        fuzz::check(after == before || imgtest::keepsWholeRecords(before, after), "a rewrite keeps every whole record");
        if (after != before) {
            ImageCheck check;
            imageCheckStart(&check, static_cast<int64_t>(after.size()));
            imageCheckFeed(&check, reinterpret_cast<const BYTE *>(after.data()), after.size());
            int verdict = imageCheckEnd(&check);
            fuzz::check(verdict != IMAGE_SIZE_FIELD && verdict != IMAGE_RECORD_CUT && verdict != IMAGE_TOO_SHORT,
                        "a rewritten file is never cut short");
        }
    } else {
        fuzz::check(after == before, "a restore never changes the file argument");
    }
    // The work file is the run's to keep (made under this very name when
    // missing, so removed by it); whatever else is left is a temporary file
    // of a rewrite.
    static const std::string workHost = (host::fsRoot() / "Temp" / "NEW1.tmp").string();
    for (const std::string &name : fuzz::temp()) {
        if (name == "NEW1.tmp") {
            fuzz::check(::unlink(workHost.c_str()) == 0, "the work file is one that can be removed");
            continue;
        }
        fuzz::check(std::find(tempBefore.begin(), tempBefore.end(), name) != tempBefore.end(),
                    "no temporary file of a rewrite left behind");
    }
    // The pending restore the input made (a file the device reads back
    // whole, so the read above found it).
    if (pending) {
        static const std::string pendingHost = pendingPath.string();
        ::unlink(pendingHost.c_str());
    }
    return 0;
}
