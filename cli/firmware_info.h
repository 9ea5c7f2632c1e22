#pragma once

#include <cstdio>
#include <string>

namespace zorbent::cli {

// "Is this file right for my adapter?": loads and checks a firmware file and prints what it
// holds. No port is opened. 0 a valid file, 1 unreadable or malformed (with the reason).
int ShowFirmwareInfo(const std::string& path, std::FILE* out = stdout);

}  // namespace zorbent::cli
