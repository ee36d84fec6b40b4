// teliox-cli: the command-line front end of Teliox on the same discovery core.
#include "commands.h"

#include <cstdio>
#include <cstring>

static void Usage(FILE* out) {
    std::fputs(
        "usage: teliox-cli COMMAND [OPTIONS]\n"
        "       teliox-cli --help | --version\n"
        "\n"
        "commands:\n"
        "  scan [--json | --csv] [--seconds N] [--watch N]\n"
        "        find cameras on every adapter and print the camera list\n"
        "  set-ip CAMERA --dhcp | --static ADDRESS/MASK [--gateway G]\n"
        "        change a camera's network settings (CAMERA: its address or MAC)\n"
        "  assign --from ADDRESS/MASK [--gateway G] | --dhcp [--dry-run] [--parallel N] CAMERA... | --all\n"
        "        give many cameras free addresses from ADDRESS on (or DHCP) in one go\n"
        "  cert generate [--yes] | fetch CAMERA [--host-name NAME] [--port N] | upload CAMERA [--port N] | folder\n"
        "        make the client certificate, store a camera's certificate, upload ours,\n"
        "        print the certificate folder in use\n"
        "\n"
        "'teliox-cli COMMAND --help' describes one command.\n"
        "exit status: 0 success, 1 failure, 2 bad usage, 3 camera not found or not changeable (set-ip, assign),\n"
        "  4 the change was sent as the IP-change broadcast and not confirmed (set-ip)\n",
        out);
}

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")) {
        Usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    if (!std::strcmp(argv[1], "--version")) {
        std::printf("teliox-cli %s\n", TELIOX_VERSION);
        return 0;
    }
    const char* cmd = argv[1];
    if (!std::strcmp(cmd, "scan")) return CmdScan(argc - 1, argv + 1);
    if (!std::strcmp(cmd, "set-ip")) return CmdSetIp(argc - 1, argv + 1);
    if (!std::strcmp(cmd, "assign")) return CmdAssign(argc - 1, argv + 1);
    if (!std::strcmp(cmd, "cert")) return CmdCert(argc - 1, argv + 1);
    std::fprintf(stderr, "teliox-cli: unknown command '%s'\n", cmd);
    Usage(stderr);
    return 2;
}
