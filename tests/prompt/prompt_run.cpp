// prompt_run.cpp - a test program that shows the restart prompt on the
// current device (CEDEVICE) and exits with the prompt's result, until the
// operation sequence reaches the prompt by itself. With --log the prompt's
// entries go to the log, as with option l.
#include "app/driver.h"
#include "platform/host/host.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    std::string error;
    if (!host::ensureDevice(error)) {
        std::fprintf(stderr, "prompt_run: %s\n", error.c_str());
        return 125;
    }
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--log") == 0) g_logging = -1;
    return showRestartPrompt(host::programInstance());
}
