// Writes the Windows resource script to standard output (see rc_script.h).
#include <cstdio>

#include "res/rc_script.h"

int main() {
    const std::string script = plk::res::ResourceScript();
    return std::fwrite(script.data(), 1, script.size(), stdout) == script.size() ? 0 : 1;
}
