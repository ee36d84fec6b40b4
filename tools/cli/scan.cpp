#include "commands.h"

#include <cstdio>

int CmdScan(int, char**) {
    std::fputs("teliox-cli: scan is not built yet\n", stderr);
    return 1;
}
