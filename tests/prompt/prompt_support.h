// prompt_support.h - helpers of the restart prompt's tests: environment
// variables for one test, the call trace, UTF-16 bytes.
#pragma once

#include "platform/host/window.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace pt {

// Sets (or, with nullopt, removes) an environment variable until the end of
// the scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, std::optional<std::string> value) : name_(name) {
        if (const char *old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

// The trace of this process's platform calls, into a file of the device's
// folder, read back line by line.
class Trace {
public:
    explicit Trace(const ts::Device &device) : file_((device.dir() / "trace.txt").string()) {
        std::error_code ec;
        host::fs::remove(file_, ec);
        host::setTrace(file_);
    }
    ~Trace() { host::setTrace(""); }
    std::vector<std::string> lines() const {
        std::ifstream in(file_);
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    // The lines of the given services only, in their order.
    std::vector<std::string> of(const std::vector<std::string> &services) const {
        std::vector<std::string> out;
        for (const std::string &l : lines())
            for (const std::string &s : services)
                if (l.rfind(s + "(", 0) == 0) out.push_back(l);
        return out;
    }
    // The names of the services called, in order.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const std::string &l : lines()) out.push_back(l.substr(0, l.find('(')));
        return out;
    }

private:
    std::string file_;
};

// Bytes of a UTF-16 string with its terminator, little-endian.
inline std::string utf16z(const std::u16string &s) {
    std::string out;
    for (char16_t c : s) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    out += std::string(2, '\0');
    return out;
}

inline std::string bytes(std::initializer_list<int> b) {
    std::string out;
    for (int v : b) out += static_cast<char>(v);
    return out;
}

// The open windows that the device lists (state/windows/*.win).
inline std::vector<std::string> publishedWindows() {
    std::vector<std::string> out;
    std::error_code ec;
    for (host::fs::directory_iterator it(host::windowsDir(), ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".win") out.push_back(it->path().filename().string());
    return out;
}

}  // namespace pt
