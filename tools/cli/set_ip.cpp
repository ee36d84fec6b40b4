#include "commands.h"

#include <cstdio>

int CmdSetIp(int, char**) {
    std::fputs("teliox-cli: set-ip is not built yet\n", stderr);
    return 1;
}
