// Built against an installed halvex: the umbrella header alone must compile.
#include <halvex/halvex.h>
#include <halvex/platform/syslogext.h>
#include <halvex/platform/users.h>

#include <cstdio>
#include <cstring>

int main()
{
    if (std::strcmp(get_user_name(1), "shell") != 0)
        return 1;
    if (ZYRK::SysLogExt::PrintF(7, "never") != 0)
        return 2;
    std::printf("halvex consumer ok\n");
    return 0;
}
