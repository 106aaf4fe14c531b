// regtext.h - registry values and keys as the host tools take them as text:
// the TYPE and DATA arguments of `reg set` (cedevice, corvane-backup) and the
// REGEDIT4 text that exportRegedit writes, read back (corvane-backup import).
#pragma once

#include "platform/host/registry_model.h"

#include <string>
#include <string_view>

namespace regtext {

// The value NAME of type TYPE holding DATA, as `reg set` takes them: REG_SZ
// and REG_EXPAND_SZ (the text), REG_MULTI_SZ (strings separated by the two
// characters \0), REG_DWORD (decimal or 0x hex), REG_BINARY and REG_NONE (hex
// bytes: "0a0b", "0a,0b" or "0a 0b"); type names in any case. Returns true;
// false with the reason in error (a usage error: the words name TYPE and
// DATA as given). The value's limits are not checked here.
bool parseValue(const std::string &name, const std::string &type, const std::string &data, host::reg::Value &value,
                std::string &error);

// Reads REGEDIT4 text as exportRegedit writes it: the line "REGEDIT4", then
// key lines "[HKEY_...\path]" each followed by its value lines ("name"= or
// @= with "text", dword:XXXXXXXX, hex:.. or hex(N):.., long hex data
// continued with a backslash at the line's end), blank lines and "; ..."
// comments anywhere. Keys named twice are merged; a value named twice in a
// key keeps its last data. Returns true with the keys added to reg (which
// should start empty); false with "line N: reason" in error.
bool readRegedit(std::string_view text, host::reg::Registry &reg, std::string &error);

}  // namespace regtext
