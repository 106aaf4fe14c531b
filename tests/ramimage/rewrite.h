// rewrite.h - running repair or reorder in-process on a file of a fresh
// simulated device, and what it left behind.
#pragma once

#include "app/driver.h"
#include "tests/support/testsupport.h"

#include <string>
#include <vector>

namespace imgtest {

using Operation = int (*)(const WCHAR *);

// The file every rewrite test works on, as device path and as test path.
inline const char16_t *const IMAGE_PATH = u"\\My Documents\\registry.img";
inline const char *const IMAGE_FILE = "/My Documents/registry.img";

struct Outcome {
    int result = -1;
    std::string file;               // the file's bytes afterwards
    std::string log;                // the whole log
    std::vector<std::string> temp;  // what is left in \Temp
};

// Writes input to the image file (unless input is null), runs op on it with
// logging on, and collects the outcome.
inline Outcome rewrite(const ts::Device &dev, Operation op, const std::string *input) {
    if (input) dev.write(IMAGE_FILE, *input);
    g_logging = -1;
    Outcome o;
    o.result = op(IMAGE_PATH);
    o.file = dev.exists(IMAGE_FILE) ? dev.read(IMAGE_FILE) : "";
    o.log = dev.log();
    o.temp = dev.ls("/Temp");
    return o;
}

inline Outcome rewrite(const ts::Device &dev, Operation op, const std::string &input) {
    return rewrite(dev, op, &input);
}

}  // namespace imgtest
