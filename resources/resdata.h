// resdata.h - the program's compiled resources (corvane_res.cpp), read by
// the host's resource services: the image of a .res file, DWORD aligned.
#pragma once

#include <cstddef>

namespace corvane {
extern const unsigned char programRes[];
extern const std::size_t programResBytes;
}  // namespace corvane
