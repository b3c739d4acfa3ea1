// What the Windows tests share: whether they run under Wine, and the COM
// ports scripts/test-win.sh maps onto a linked pseudo-terminal pair.
#pragma once

#include <cstdlib>

#include "platform/sys/win32.h"

namespace plk::test {

inline bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct MappedPorts {
    int port = 0;   // the program's end (PLINKOR_TEST_COM)
    int board = 0;  // the board's end (PLINKOR_TEST_BOARD_COM)
    bool present() const { return port != 0 && board != 0; }
};

inline MappedPorts MappedPortsFromEnvironment() {
    auto number = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::atoi(value) : 0;
    };
    return {number("PLINKOR_TEST_COM"), number("PLINKOR_TEST_BOARD_COM")};
}

}  // namespace plk::test
