#pragma once

// The system's socket and name service declarations, for the code in platform/ that is the
// same on every system (address_lookup.cpp); CMake puts this folder on its include path.
#include <winsock2.h>
#include <ws2tcpip.h>
