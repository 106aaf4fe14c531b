// regtext.h - registry values and keys as the host tools take them as text:
// the TYPE and DATA arguments of `reg set` (cedevice, corvane-backup) and
// .reg files, REGEDIT4 or regedit's 5.00, read (import, merge, cedevice reg
// import) and written (export, cedevice reg export).
#pragma once

#include "platform/host/registry_model.h"

#include <functional>
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

// A .reg file's bytes as UTF-8 text in text: UTF-16LE with its byte order
// mark (as regedit writes it) converted into storage, a UTF-8 byte order
// mark dropped, and any other text taken as UTF-8 (text then views bytes).
// False with "line N: reason" in error when the text is not valid in its
// encoding.
bool decodeRegFile(std::string_view bytes, std::string &storage, std::string_view &text, std::string &error);

// Applies a .reg file to reg, line by line as regedit does: its first line
// "REGEDIT4" or "Windows Registry Editor Version 5.00"; then key lines
// "[HKEY_...\path]" (the key is made when missing), each followed by its
// value lines ("name"= or @= with "text", dword:XXXXXXXX, hex:.. or
// hex(N):.., long hex data continued with a backslash at the line's end);
// "[-HKEY_...\path]" deletes a key with its subtree and "name"=- (or @=-) a
// value, a missing one being no error; blank lines and "; ..." comments
// anywhere. The bytes are decoded by decodeRegFile. A value named twice in a
// key keeps its last data. Returns true; false with "line N: reason" in error
// (reg is then partly changed).
bool readRegedit(std::string_view bytes, host::reg::Registry &reg, std::string &error);

// The .reg formats written: REGEDIT4 (UTF-8, LF line ends, exportRegedit's
// own text) and regedit's 5.00 (a byte order mark, "Windows Registry Editor
// Version 5.00", CRLF line ends, UTF-16LE).
enum class Format { Regedit4, Version5 };
// "4" or "5" (--format); false for another word.
bool parseFormat(const std::string &arg, Format &format);
// exportRegedit's text of reg (root -1: every root) in format, written a
// piece at a time by write (false: stop). False when a write failed.
bool exportText(const host::reg::Registry &reg, int root, std::u16string_view path, Format format,
                const std::function<bool(std::string_view)> &write);

}  // namespace regtext
