// window_res.cpp - the simulated device's resource services: FindResourceW,
// LoadResource and LoadIconW over the program's own resources.
//
// The program's resources are the compiled corvane.rc, linked in as the
// image of a .res file (resources/corvane_res.cpp): a sequence of entries,
// each a header (data size, header size, type and name as ordinal or
// string, DWORD-aligned, then data version, memory flags, language, version,
// characteristics) and the data, DWORD-aligned. The process has one module,
// so every instance handle names the program.
#include "platform/host/window.h"
#include "resources/resdata.h"

#include <cstring>
#include <deque>
#include <mutex>

namespace host {

namespace {

WORD word(const BYTE *p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }
DWORD dword(const BYTE *p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

// Reads an ordinal (0xFFFF, number) or a terminated UTF-16 name at offset
// pos of a block of end bytes. False when it runs past the end.
bool readSzOrOrd(const BYTE *base, size_t end, size_t &pos, bool &named, WORD &id, std::u16string &name) {
    if (pos + 2 > end) return false;
    if (word(base + pos) == 0xFFFF) {
        if (pos + 4 > end) return false;
        named = false;
        id = word(base + pos + 2);
        pos += 4;
        return true;
    }
    named = true;
    name.clear();
    for (;;) {
        if (pos + 2 > end) return false;
        WORD c = word(base + pos);
        pos += 2;
        if (c == 0) return true;
        name.push_back(static_cast<char16_t>(c));
    }
}

// A resource name or type as the services receive it: an ordinal, or a
// string ("#123" is the ordinal 123).
struct Key {
    bool named = false;
    WORD id = 0;
    std::u16string name;
};

Key keyOf(LPCWSTR s) {
    Key k;
    if (IS_INTRESOURCE(s)) {
        k.id = LOWORD(s);
        return k;
    }
    if (s[0] == u'#' && s[1]) {
        unsigned long n = 0;
        const WCHAR *p = s + 1;
        while (*p >= u'0' && *p <= u'9' && n <= 0xFFFF) n = n * 10 + (*p++ - u'0');
        if (!*p && n <= 0xFFFF) {
            k.id = static_cast<WORD>(n);
            return k;
        }
    }
    k.named = true;
    k.name = s;
    return k;
}

bool keyMatches(const Key &k, bool named, WORD id, const std::u16string &name) {
    if (k.named != named) return false;
    return named ? namesEqual(k.name, name) : k.id == id;
}

void traceKey(Call &call, LPCWSTR s) {
    if (IS_INTRESOURCE(s))
        call.arg(static_cast<long long>(LOWORD(s)));
    else
        call.arg(s);
}

const Resource *findEntry(const Key &type, const Key &name, DWORD &error) {
    bool typeSeen = false;
    for (const Resource &r : programResources()) {
        if (!keyMatches(type, r.typeNamed, r.typeId, r.typeName)) continue;
        typeSeen = true;
        // The program's resources carry one language each; the first match
        // is the one.
        if (keyMatches(name, r.nameNamed, r.nameId, r.name)) return &r;
    }
    error = typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
    return nullptr;
}

bool isProgramResource(const void *p) {
    const auto &all = programResources();
    for (const Resource &r : all)
        if (&r == p) return true;
    return false;
}

// An icon handle: the icon image that LoadIconW chose.
struct Icon {
    const Resource *image = nullptr;  // NULL for a platform icon
    WORD resourceId = 0;
    int cx = 0, cy = 0, bitCount = 0;
};

std::mutex g_iconLock;
std::deque<Icon> g_icons;  // handles stay valid for the life of the process

}  // namespace

bool parseResourceImage(const BYTE *image, size_t cbImage, std::vector<Resource> &out, std::string &error) {
    size_t pos = 0;
    while (pos < cbImage) {
        if (cbImage - pos < 32) {
            error = "resource entry at " + std::to_string(pos) + " is cut short";
            return false;
        }
        DWORD cbData = dword(image + pos), cbHeader = dword(image + pos + 4);
        if (cbHeader < 32 || cbHeader > cbImage - pos || cbData > cbImage - pos - cbHeader) {
            error = "resource entry at " + std::to_string(pos) + " has bad sizes";
            return false;
        }
        Resource r;
        size_t p = pos + 8, headerEnd = pos + cbHeader;
        if (!readSzOrOrd(image, headerEnd, p, r.typeNamed, r.typeId, r.typeName) ||
            !readSzOrOrd(image, headerEnd, p, r.nameNamed, r.nameId, r.name)) {
            error = "resource entry at " + std::to_string(pos) + " has a bad type or name";
            return false;
        }
        p = (p + 3) & ~static_cast<size_t>(3);
        if (p + 16 > headerEnd) {
            error = "resource entry at " + std::to_string(pos) + " has a short header";
            return false;
        }
        r.memoryFlags = word(image + p + 4);
        r.language = word(image + p + 6);
        r.data = image + headerEnd;
        r.cbData = cbData;
        // The first entry of every .res file is an empty marker (type 0).
        if (!(cbData == 0 && !r.typeNamed && r.typeId == 0)) out.push_back(r);
        pos = (headerEnd + cbData + 3) & ~static_cast<size_t>(3);
    }
    return true;
}

const std::vector<Resource> &programResources() {
    static const std::vector<Resource> all = [] {
        std::vector<Resource> v;
        std::string error;
        // The image is built with the program; a damaged one leaves the
        // entries before the damage, and the rest is not found.
        parseResourceImage(corvane::programRes, corvane::programResBytes, v, error);
        return v;
    }();
    return all;
}

size_t resourceBytesFrom(const void *p) {
    const BYTE *b = static_cast<const BYTE *>(p);
    for (const Resource &r : programResources())
        if (b >= r.data && b < r.data + r.cbData) return static_cast<size_t>(r.data + r.cbData - b);
    return 0;
}

// A version resource is a tree of blocks, each: length in bytes (the
// block, its value and its children), length of its value (in characters
// for a text value, else in bytes), type (1 text, 0 binary), a terminated
// UTF-16 key, DWORD padding, the value, DWORD padding, then its children.
// Looks for the text value of a key under StringFileInfo, depth first.
static bool findVersionValue(const BYTE *base, size_t pos, size_t end, std::u16string_view name, int depth,
                             std::u16string &out) {
    while (pos + 6 <= end) {
        size_t cb = word(base + pos), cchValue = word(base + pos + 2), type = word(base + pos + 4);
        if (cb < 6 || pos + cb > end) return false;
        size_t blockEnd = pos + cb, p = pos + 6;
        std::u16string key;
        bool terminated = false;
        while (p + 2 <= blockEnd) {
            WORD c = word(base + p);
            p += 2;
            if (c == 0) {
                terminated = true;
                break;
            }
            key.push_back(static_cast<char16_t>(c));
        }
        if (!terminated) return false;
        p = (p + 3) & ~static_cast<size_t>(3);
        size_t cbValue = type == 1 ? 2 * cchValue : cchValue;
        if (p + cbValue > blockEnd) cbValue = p < blockEnd ? blockEnd - p : 0;
        if (depth == 3 && type == 1 && key == name) {
            out.clear();
            for (size_t k = 0; k + 2 <= cbValue; k += 2) {
                WORD c = word(base + p + k);
                if (c == 0) break;
                out.push_back(static_cast<char16_t>(c));
            }
            return true;
        }
        // The root, StringFileInfo and its tables hold the strings.
        bool descend = depth == 0 || (depth == 1 && key == u"StringFileInfo") || depth == 2;
        size_t children = (p + cbValue + 3) & ~static_cast<size_t>(3);
        if (descend && children < blockEnd && findVersionValue(base, children, blockEnd, name, depth + 1, out))
            return true;
        if (depth == 0) return false;
        pos = (blockEnd + 3) & ~static_cast<size_t>(3);
    }
    return false;
}

std::u16string versionValue(std::u16string_view name) {
    for (const Resource &r : programResources()) {
        if (r.typeNamed || r.typeId != 16 /* RT_VERSION */) continue;
        std::u16string out;
        if (findVersionValue(r.data, 0, r.cbData, name, 0, out)) return out;
    }
    return std::u16string();
}

bool iconDetails(HICON icon, int &cx, int &cy, int &bitCount, WORD &resourceId) {
    std::lock_guard<std::mutex> lock(g_iconLock);
    for (const Icon &i : g_icons) {
        if (reinterpret_cast<HICON>(const_cast<Icon *>(&i)) != icon) continue;
        cx = i.cx;
        cy = i.cy;
        bitCount = i.bitCount;
        resourceId = i.resourceId;
        return true;
    }
    return false;
}

}  // namespace host

using host::Call;

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    Call call("FindResourceW");
    call.argHex(reinterpret_cast<uintptr_t>(module));
    if (name)
        host::traceKey(call, name);
    else
        call.arg(static_cast<const char *>(nullptr));
    if (type)
        host::traceKey(call, type);
    else
        call.arg(static_cast<const char *>(nullptr));
    if (call.failed()) return call.fail(static_cast<HRSRC>(nullptr), ERROR_RESOURCE_NAME_NOT_FOUND);
    if (!name || !type) return call.fail(static_cast<HRSRC>(nullptr), ERROR_INVALID_PARAMETER);
    DWORD error = 0;
    const host::Resource *r = host::findEntry(host::keyOf(type), host::keyOf(name), error);
    if (!r) return call.fail(static_cast<HRSRC>(nullptr), error);
    return call.ret(reinterpret_cast<HRSRC>(const_cast<host::Resource *>(r)));
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
    Call call("LoadResource");
    call.argHex(reinterpret_cast<uintptr_t>(module)).argHex(reinterpret_cast<uintptr_t>(resource));
    if (call.failed()) return call.fail(static_cast<HGLOBAL>(nullptr), ERROR_NOT_ENOUGH_MEMORY);
    if (!resource || !host::isProgramResource(resource))
        return call.fail(static_cast<HGLOBAL>(nullptr), ERROR_INVALID_HANDLE);
    const host::Resource *r = reinterpret_cast<const host::Resource *>(resource);
    return call.ret(static_cast<HGLOBAL>(const_cast<BYTE *>(r->data)));
}

HICON LoadIconW(HINSTANCE instance, LPCWSTR iconName) {
    Call call("LoadIconW");
    call.argHex(reinterpret_cast<uintptr_t>(instance));
    if (iconName)
        host::traceKey(call, iconName);
    else
        call.arg(static_cast<const char *>(nullptr));
    if (call.failed()) return call.fail(static_cast<HICON>(nullptr), ERROR_RESOURCE_NAME_NOT_FOUND);
    if (!iconName) return call.fail(static_cast<HICON>(nullptr), ERROR_INVALID_PARAMETER);

    host::Icon icon;
    if (!instance) {
        // The platform's own icons (IDI_APPLICATION 32512 to IDI_ASTERISK
        // 32516); the simulated device has no pictures for them.
        if (!IS_INTRESOURCE(iconName) || LOWORD(iconName) < 32512 || LOWORD(iconName) > 32516)
            return call.fail(static_cast<HICON>(nullptr), ERROR_RESOURCE_NAME_NOT_FOUND);
        icon.resourceId = LOWORD(iconName);
        icon.cx = icon.cy = 32;
        icon.bitCount = 4;
    } else {
        DWORD error = 0;
        const host::Resource *group = host::findEntry(host::keyOf(RT_GROUP_ICON), host::keyOf(iconName), error);
        if (!group) return call.fail(static_cast<HICON>(nullptr), error);
        // The group: reserved 0, type 1, count, then 14-byte entries (width,
        // height, colours, reserved, planes, bits per pixel, bytes, icon id).
        const BYTE *g = group->data;
        if (group->cbData < 6 || host::word(g) != 0 || host::word(g + 2) != 1 ||
            group->cbData < 6 + 14u * host::word(g + 4) || host::word(g + 4) == 0)
            return call.fail(static_cast<HICON>(nullptr), ERROR_INVALID_PARAMETER);
        // LoadIcon loads the size of the platform's large icon, 32x32; the
        // largest image stands in when the group has no such image.
        int best = -1, bestSize = -1;
        for (int i = 0; i < host::word(g + 4); ++i) {
            const BYTE *e = g + 6 + 14 * i;
            int size = e[0] ? e[0] : 256;
            if (size == 32) {
                best = i;
                break;
            }
            if (size > bestSize) {
                best = i;
                bestSize = size;
            }
        }
        const BYTE *e = g + 6 + 14 * best;
        WORD id = host::word(e + 12);
        const host::Resource *image = host::findEntry(host::keyOf(RT_ICON), host::keyOf(MAKEINTRESOURCEW(id)), error);
        if (!image) return call.fail(static_cast<HICON>(nullptr), error);
        // The image is a DIB: a BITMAPINFOHEADER whose height counts the
        // colour bitmap and the mask.
        const BYTE *d = image->data;
        int cx = e[0] ? e[0] : 256, cy = e[1] ? e[1] : 256;
        if (image->cbData < 40 || host::dword(d) != 40 || static_cast<int>(host::dword(d + 4)) != cx ||
            static_cast<int>(host::dword(d + 8)) != 2 * cy)
            return call.fail(static_cast<HICON>(nullptr), ERROR_INVALID_PARAMETER);
        icon.image = image;
        icon.resourceId = id;
        icon.cx = cx;
        icon.cy = cy;
        icon.bitCount = host::word(d + 14);
    }
    // Loading an icon again gives the same shared handle, as on the device.
    std::lock_guard<std::mutex> lock(host::g_iconLock);
    for (host::Icon &i : host::g_icons)
        if (i.image == icon.image && i.resourceId == icon.resourceId) return call.ret(reinterpret_cast<HICON>(&i));
    host::g_icons.push_back(icon);
    return call.ret(reinterpret_cast<HICON>(&host::g_icons.back()));
}
