// Drives teliox-cli in the pc host of a lab and reads its camera list.
#pragma once

#include "lab_harness.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace labtest {

// Why teliox-cli cannot be used (not built, or the command is not there yet), or empty.
std::string CliUnavailable(Lab& lab, const std::string& command);
std::string CliPath();

struct ScanResult {
    CommandResult run;
    nlohmann::json rows = nlohmann::json::array();
    bool parsed = false;
};

// teliox-cli with `args` in the pc host. With `programData`, that folder of
// the lab stands for the machine's application-data folder.
CommandResult Cli(Lab& lab, const std::vector<std::string>& args, int timeoutSeconds = 120,
                  const std::string& programData = "");
// `teliox-cli scan --json` and `extraArgs` in the pc host.
ScanResult Scan(Lab& lab, int timeoutSeconds = 60, const std::vector<std::string>& extraArgs = {});
CommandResult SetIp(Lab& lab, const std::vector<std::string>& args, int timeoutSeconds = 60);
// The scan's exit status and output, for failure messages.
std::string Dump(const ScanResult& scan);

// The row with that address (and, when given, that interface name), or null.
const nlohmann::json* Row(const ScanResult& scan, const std::string& ipAddress, const std::string& interfaceName = "");
// "Ethernet <kernel index> (<address>)" of a pc interface.
std::string InterfaceName(Lab& lab, const std::string& device, const std::string& address);

}  // namespace labtest

#define CLI_REQUIRE(lab, command)                                                  \
    do {                                                                           \
        std::string why_ = labtest::CliUnavailable(lab, command);                  \
        if (!why_.empty()) GTEST_SKIP() << "lab test skipped: " << why_;           \
    } while (0)
