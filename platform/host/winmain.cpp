// winmain.cpp - the host's process entry: makes sure the device exists,
// joins the arguments with single spaces into the one command line that a
// CE program receives, and calls the system's entry.
#include "app/driver.h"
#include "platform/host/host.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    std::string error;
    if (!host::ensureDevice(error)) {
        std::fprintf(stderr, "corvane: %s\n", error.c_str());
        return 125;
    }
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    std::u16string wide = host::fromUtf8(line);
    std::vector<WCHAR> commandLine(wide.begin(), wide.end());
    commandLine.push_back(0);
    return corvaneMain(host::programInstance(), commandLine.data());
}
