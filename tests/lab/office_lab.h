// The fixture most lab tests start from: a lab of the test's own whose pc
// sits on subnet "a" as eth0 (192.168.10.1 on 192.168.10.0/24 unless the test
// says otherwise). The test is skipped, with the reason, when labs cannot run
// here, a tool it needs is missing or teliox-cli lacks one of its commands.
#pragma once

#include "cli_driver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace labtest {

inline constexpr const char* kOfficeCidr = "192.168.10.0/24";
inline constexpr const char* kOfficePc = "192.168.10.1/24";

struct LabNeeds {
    std::vector<std::string> commands;    // of teliox-cli
    std::vector<std::string> tools;       // programs on the PATH
    std::string cidr = kOfficeCidr;       // subnet "a"; empty: the test wires its own
    std::string pcAddress = kOfficePc;    // the pc's eth0 on it
};

class OfficeLab : public ::testing::Test {
protected:
    explicit OfficeLab(LabNeeds needs = {}) : needs_(std::move(needs)) {}

    // A derived SetUp calls this first and returns when IsSkipped() or HasFatalFailure().
    void SetUp() override;

    // Subnet "a" on `cidr`, with the pc's eth0 at `pcAddress`.
    ::testing::AssertionResult AddOffice(const std::string& cidr = kOfficeCidr,
                                         const std::string& pcAddress = kOfficePc);
    // A host on `subnet` with no address of its own, running camsim with
    // `json`; its datagram log is lab_->CamsimLog(host).
    ::testing::AssertionResult StartCameras(const std::string& host, const std::string& json,
                                            const std::string& mac = "", const std::string& subnet = "a");
    // A folder of the lab that stands for the machine's application-data
    // folder of every later Cli call; made on first use.
    const std::string& UseProgramData();
    // teliox-cli with `args` in the pc host.
    CommandResult Cli(const std::vector<std::string>& args, int timeoutSeconds = 120);

    std::unique_ptr<Lab> lab_;
    std::string programData_;

private:
    LabNeeds needs_;
};

}  // namespace labtest
