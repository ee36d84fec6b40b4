#include "cli_driver.h"

#include <unistd.h>

namespace labtest {

std::string CliPath() { return BuiltProgram("tools/cli/teliox-cli"); }

std::string CliUnavailable(Lab& lab, const std::string& command) {
    if (access(CliPath().c_str(), X_OK) != 0) return "teliox-cli is not built (" + CliPath() + ")";
    // A sub-command that is still a placeholder says so at once. Asked inside
    // the lab's pc host all the same: nothing of the program runs outside it.
    CommandResult r = lab.Exec("pc", {CliPath(), command, "--help"}, 20);
    std::string text = r.out + r.err;
    if (text.find("not built yet") != std::string::npos) return "teliox-cli " + command + " is not built yet";
    if (text.find("unknown command") != std::string::npos) return "teliox-cli has no command " + command;
    return "";
}

CommandResult Cli(Lab& lab, const std::vector<std::string>& args, int timeoutSeconds, const std::string& programData) {
    std::vector<std::string> argv;
    if (!programData.empty()) argv = {"env", "TELIOX_PROGRAMDATA=" + programData};
    argv.push_back(CliPath());
    argv.insert(argv.end(), args.begin(), args.end());
    return lab.Exec("pc", argv, timeoutSeconds);
}

ScanResult Scan(Lab& lab, int timeoutSeconds, const std::vector<std::string>& extraArgs) {
    ScanResult s;
    std::vector<std::string> args{"scan", "--json"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    s.run = Cli(lab, args, timeoutSeconds);
    try {
        s.rows = nlohmann::json::parse(s.run.out);
        s.parsed = s.rows.is_array();
    } catch (const std::exception&) {
        s.parsed = false;
    }
    return s;
}

CommandResult SetIp(Lab& lab, const std::vector<std::string>& args, int timeoutSeconds) {
    std::vector<std::string> setIp{"set-ip"};
    setIp.insert(setIp.end(), args.begin(), args.end());
    return Cli(lab, setIp, timeoutSeconds);
}

std::string Dump(const ScanResult& scan) { return Dump(scan.run); }

const nlohmann::json* Row(const ScanResult& scan, const std::string& ipAddress, const std::string& interfaceName) {
    for (const auto& row : scan.rows)
        if (row.value("ipAddress", "") == ipAddress &&
            (interfaceName.empty() || row.value("interfaceName", "") == interfaceName))
            return &row;
    return nullptr;
}

std::string InterfaceName(Lab& lab, const std::string& device, const std::string& address) {
    CommandResult r = lab.Exec("pc", {"cat", "/sys/class/net/" + device + "/ifindex"}, 10);
    std::string index = r.out.substr(0, r.out.find('\n'));
    return "Ethernet " + index + " (" + address + ")";
}

}  // namespace labtest
