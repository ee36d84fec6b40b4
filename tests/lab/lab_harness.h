// Test harness for the network lab: builds a lab of its own (unique run name
// per process and lab), starts programs in its hosts, runs code inside a host
// and always tears everything down, also when the test fails.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace labtest {

// Why lab tests cannot run here (not root, a tool missing), or empty.
std::string LabUnavailable();
// Path of a built program of this project, e.g. "tools/camsim/camsim".
std::string BuiltProgram(const std::string& relative);
// Empty when `program` is on the PATH (or an absolute path that exists), else a message.
std::string MissingTool(const std::string& program);

struct CommandResult {
    int status = -1;       // exit status; -1 when it did not end normally or timed out
    bool timedOut = false;
    std::string out;       // standard output
    std::string err;       // standard error
};

class Lab {
public:
    Lab();
    ~Lab();
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    const std::string& run() const { return run_; }
    const std::string& dir() const { return dir_; }  // scratch folder of this lab
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

    bool AddSubnet(const std::string& name, const std::string& cidr);
    // Returns the interface name in the pc host, empty on failure.
    std::string AddPcAdapter(const std::string& subnet, const std::string& addressPrefix,
                             const std::string& gateway = "");
    // addressPrefix may be "none" (the simulator adds its own addresses).
    std::string AddHost(const std::string& host, const std::string& subnet, const std::string& addressPrefix,
                        const std::string& mac = "");
    // A host running a DHCP server (dnsmasq) that leases rangeStart..rangeEnd
    // on the subnet; returns its interface name, empty on failure. Its log is
    // DhcpLog(host).
    std::string AddDhcp(const std::string& host, const std::string& subnet, const std::string& addressPrefix,
                        const std::string& rangeStart, const std::string& rangeEnd, const std::string& router = "");
    std::string DhcpLog(const std::string& host) const;
    std::string Namespace(const std::string& host) const;
    std::string Bridge(const std::string& subnet) const;

    // Runs a command in a host and waits for it (bounded).
    CommandResult Exec(const std::string& host, const std::vector<std::string>& argv, int timeoutSeconds = 60);
    // Starts a program in a host; it is stopped by Stop or the lab's end.
    // Output goes to `logFile` (in dir() when relative).
    pid_t Spawn(const std::string& host, const std::vector<std::string>& argv, const std::string& logFile);
    void Stop(pid_t pid);
    bool Alive(pid_t pid) const;

    // Starts camsim with a JSON configuration in a host; waits until it is ready.
    // Its datagram log is dir()/<name>.log. Returns the pid, or -1.
    pid_t StartCamsim(const std::string& host, const std::string& name, const std::string& json,
                      const std::string& interfaceName = "eth0");
    std::string CamsimLog(const std::string& name) const { return dir_ + "/" + name + ".log"; }

    // Runs `fn` in a child process that has entered the host's network
    // namespace; returns what fn returned ("" when the child failed).
    std::string RunIn(const std::string& host, const std::function<std::string()>& fn, int timeoutSeconds = 30);

private:
    bool Script(const std::vector<std::string>& args, std::string* out = nullptr);

    std::string run_;
    std::string dir_;
    std::string script_;
    bool ok_ = false;
    std::string error_;
    std::vector<pid_t> spawned_;
};

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& text);
// Waits (bounded, polling) until the file contains `needle`.
bool WaitForText(const std::string& path, const std::string& needle, int timeoutMs);
size_t CountOccurrences(const std::string& text, const std::string& needle);
// The exit status and both output streams of a command, for failure messages.
std::string Dump(const CommandResult& r);

}  // namespace labtest

// Skips the current test with a clear message when the lab cannot run.
#define LAB_REQUIRE()                                                             \
    do {                                                                          \
        std::string why_ = labtest::LabUnavailable();                             \
        if (!why_.empty()) GTEST_SKIP() << "lab test skipped: " << why_;          \
    } while (0)
#define LAB_REQUIRE_TOOL(tool)                                                    \
    do {                                                                          \
        std::string why_ = labtest::MissingTool(tool);                            \
        if (!why_.empty()) GTEST_SKIP() << "lab test skipped: " << why_;          \
    } while (0)
