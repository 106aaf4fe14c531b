// support.h - what every fuzz target shares: one simulated device for the
// whole run, the input written as a device file, the log and \Temp of the
// last call, and a check that stops the run on a broken invariant.
#pragma once

#include "app/driver.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// The device file every target works on.
inline const char16_t *const INPUT_PATH = u"\\My Documents\\input.img";

// Makes the device on first use (a fresh folder of the given registry kind,
// "ram" or "hive", removed at exit), with the system's state as start-up
// leaves it: temporary folder "\Temp\", logging on, no fault rules; later
// calls put its state file back as it was made (the temporary-name counter).
// Then writes the input to INPUT_PATH and removes the log.
void prepare(const uint8_t *data, size_t size, const char *registryKind = "ram");

std::string input();              // INPUT_PATH's bytes now
void input(std::string &bytes);   // the same into bytes (a buffer kept by the caller)
std::string log();                // the log's bytes ("" when there is none)
std::vector<std::string> temp();  // the names left in \Temp
// The names in a host folder; readable tells whether it could be read whole.
std::vector<std::string> names(const std::string &folder, bool *readable = nullptr);
// A host file's bytes; false (bytes empty) when it cannot be opened.
bool hostFile(const std::string &path, std::string &bytes);

// Stops the run (abort) with what and the bytes when ok is false.
void check(bool ok, const char *what);

}  // namespace fuzz
