// cedevice_reg.cpp - the device tool's registry verbs and reboot.
//
// Not simulated yet: the verbs say so and fail.
#include "tools/cedevice.h"

#include <cstdio>

int cedeviceReg(const std::vector<std::string> &) {
    std::fprintf(stderr, "cedevice: reg: the registry is not simulated yet\n");
    return 2;
}

int cedeviceReboot(const std::vector<std::string> &) {
    std::fprintf(stderr, "cedevice: reboot: the registry is not simulated yet\n");
    return 2;
}

std::vector<std::string> cedeviceRegStatus() { return {}; }
