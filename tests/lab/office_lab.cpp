#include "office_lab.h"

#include <sys/stat.h>

namespace labtest {

void OfficeLab::SetUp() {
    LAB_REQUIRE();
    for (const std::string& tool : needs_.tools) LAB_REQUIRE_TOOL(tool);
    lab_ = std::make_unique<Lab>();
    ASSERT_TRUE(lab_->ok()) << lab_->error();
    for (const std::string& command : needs_.commands) CLI_REQUIRE(*lab_, command);
    if (!needs_.cidr.empty()) ASSERT_TRUE(AddOffice(needs_.cidr, needs_.pcAddress));
}

::testing::AssertionResult OfficeLab::AddOffice(const std::string& cidr, const std::string& pcAddress) {
    if (!lab_->AddSubnet("a", cidr)) return ::testing::AssertionFailure() << "subnet " << cidr << ": " << lab_->error();
    const std::string pc = lab_->AddPcAdapter("a", pcAddress);
    if (pc != "eth0") return ::testing::AssertionFailure() << "pc adapter " << pcAddress << " is '" << pc << "': " << lab_->error();
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult OfficeLab::StartCameras(const std::string& host, const std::string& json,
                                                   const std::string& mac, const std::string& subnet) {
    const std::string device = lab_->AddHost(host, subnet, "none", mac);
    if (device != "eth0") return ::testing::AssertionFailure() << "host " << host << " is '" << device << "': " << lab_->error();
    if (lab_->StartCamsim(host, host, json) <= 0)
        return ::testing::AssertionFailure() << "camsim in " << host << ": " << lab_->error();
    return ::testing::AssertionSuccess();
}

const std::string& OfficeLab::UseProgramData() {
    if (programData_.empty()) {
        programData_ = lab_->dir() + "/programdata";
        mkdir(programData_.c_str(), 0700);
    }
    return programData_;
}

CommandResult OfficeLab::Cli(const std::vector<std::string>& args, int timeoutSeconds) {
    return labtest::Cli(*lab_, args, timeoutSeconds, programData_);
}

}  // namespace labtest
