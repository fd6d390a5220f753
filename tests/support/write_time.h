// The last-write time in a platform's file facts as one text, so that a test
// checks it in one comparison with a readable failure.
#pragma once

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace velumtar::test {

// "YYYY-MM-DD hh:mm:ss.cc".
inline std::string writeTime(const FileInformation& info) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%02d", info.year, info.month,
                  info.day, info.hour, info.minute, info.second, info.hundredths);
    return text;
}

}  // namespace velumtar::test
