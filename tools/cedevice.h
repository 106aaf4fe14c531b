// cedevice.h - verbs of the device tool, one file per group of verbs.
#pragma once

#include <string>
#include <vector>

// tools/cedevice_reg.cpp: reg query|set|delete|export, reboot.
// Each returns the exit code; a failure prints one line on stderr.
int cedeviceReg(const std::vector<std::string> &args);
int cedeviceReboot(const std::vector<std::string> &args);
// Extra lines for `status` (registry kind details, boots, user, last boot).
std::vector<std::string> cedeviceRegStatus();
