#include "lab_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace labtest {
namespace {

std::atomic<int> g_labCounter{0};


// Runs argv with stdout/stderr captured; kills it after the time-out.
CommandResult RunCaptured(const std::vector<std::string>& argv, int timeoutSeconds) {
    CommandResult r;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return r;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return r;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timedOut = true;
            kill(-pid, SIGKILL);
            break;
        }
        int n = poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (n <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got <= 0) {
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
            }
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!r.timedOut && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    return r;
}

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

bool WaitForText(const std::string& path, const std::string& needle, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        if (ReadFile(path).find(needle) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

size_t CountOccurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) ++n;
    return n;
}

std::string Dump(const CommandResult& r) {
    return "exit " + std::to_string(r.status) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

std::string MissingTool(const std::string& program) {
    if (program.find('/') != std::string::npos)
        return access(program.c_str(), X_OK) == 0 ? "" : program + " is missing";
    const char* path = std::getenv("PATH");
    std::string p = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    p += ":/usr/sbin:/sbin";
    std::stringstream ss(p);
    std::string dir;
    while (std::getline(ss, dir, ':'))
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return "";
    return program + " is not installed (scripts/install-deps.sh installs it)";
}

std::string BuiltProgram(const std::string& relative) { return std::string(TELIOX_BINARY_DIR) + "/" + relative; }

std::string LabUnavailable() {
    if (geteuid() != 0) return "needs root to create network namespaces (run the lab tests as root)";
    std::string why = MissingTool("ip");
    if (!why.empty()) return why;
    if (access((std::string(TELIOX_SOURCE_DIR) + "/lab/lab.sh").c_str(), X_OK) != 0) return "lab/lab.sh is missing";
    if (access(BuiltProgram("tools/camsim/camsim").c_str(), X_OK) != 0) return "camsim is not built";
    // Root without the right to make network namespaces (some containers): say so once.
    static const std::string probe = [] {
        std::string name = "tlx" + std::to_string(getpid()) + "p-probe";  // a leftover is removed by cleanup
        CommandResult r = RunCaptured({"ip", "netns", "add", name}, 20);
        if (r.status != 0) return "cannot create network namespaces here: " + r.err;
        RunCaptured({"ip", "netns", "del", name}, 20);
        return std::string();
    }();
    return probe;
}

Lab::Lab() {
    script_ = std::string(TELIOX_SOURCE_DIR) + "/lab/lab.sh";
    int n = g_labCounter++;
    std::string suffix;
    do {
        suffix.insert(suffix.begin(), static_cast<char>('a' + n % 26));
        n /= 26;
    } while (n > 0);
    run_ = "tlx" + std::to_string(getpid()) + suffix;
    char tmpl[] = "/tmp/teliox-lab-XXXXXX";
    if (!mkdtemp(tmpl)) {
        error_ = "cannot create a scratch folder";
        return;
    }
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);
    Script({"cleanup"});  // leftovers of killed runs (only runs whose owner is gone)
    ok_ = Script({"up", run_, std::to_string(getpid())});
}

Lab::~Lab() {
    for (pid_t pid : spawned_) Stop(pid);
    Script({"down", run_});
    if (!dir_.empty() && std::getenv("TELIOX_LAB_KEEP") == nullptr)
        RunCaptured({"rm", "-rf", "--", dir_}, 30);
}

bool Lab::Script(const std::vector<std::string>& args, std::string* out) {
    std::vector<std::string> argv{script_};
    argv.insert(argv.end(), args.begin(), args.end());
    CommandResult r = RunCaptured(argv, 60);
    if (out) *out = r.out;
    if (r.status != 0) {
        error_ = "lab.sh";
        for (const auto& a : args) error_ += " " + a;
        error_ += " failed: " + r.err;
        return false;
    }
    return true;
}

bool Lab::AddSubnet(const std::string& name, const std::string& cidr) { return Script({"add-subnet", run_, name, cidr}); }

static std::string FirstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

std::string Lab::AddPcAdapter(const std::string& subnet, const std::string& addressPrefix, const std::string& gateway) {
    std::string out;
    std::vector<std::string> args{"add-pc-adapter", run_, subnet, addressPrefix};
    if (!gateway.empty()) args.push_back(gateway);
    return Script(args, &out) ? FirstLine(out) : "";
}

std::string Lab::AddHost(const std::string& host, const std::string& subnet, const std::string& addressPrefix,
                         const std::string& mac) {
    std::string out;
    std::vector<std::string> args{"add-host", run_, host, subnet, addressPrefix};
    if (!mac.empty()) args.push_back(mac);
    return Script(args, &out) ? FirstLine(out) : "";
}

std::string Lab::AddDhcp(const std::string& host, const std::string& subnet, const std::string& addressPrefix,
                         const std::string& rangeStart, const std::string& rangeEnd, const std::string& router) {
    std::string out;
    std::vector<std::string> args{"add-dhcp", run_, host, subnet, addressPrefix, rangeStart, rangeEnd};
    if (!router.empty()) args.insert(args.end(), {"1h", router});
    return Script(args, &out) ? FirstLine(out) : "";
}

std::string Lab::DhcpLog(const std::string& host) const {
    const char* root = std::getenv("TELIOX_LAB_STATE");
    return std::string(root && *root ? root : "/run/teliox-lab") + "/" + run_ + "/dhcp-" + host + ".log";
}

std::string Lab::Namespace(const std::string& host) const { return run_ + "-" + host; }

std::string Lab::Bridge(const std::string& subnet) const {
    CommandResult r = RunCaptured({script_, "bridge", run_, subnet}, 10);
    return FirstLine(r.out);
}

CommandResult Lab::Exec(const std::string& host, const std::vector<std::string>& argv, int timeoutSeconds) {
    std::vector<std::string> full{"ip", "netns", "exec", Namespace(host)};
    full.insert(full.end(), argv.begin(), argv.end());
    return RunCaptured(full, timeoutSeconds);
}

pid_t Lab::Spawn(const std::string& host, const std::vector<std::string>& argv, const std::string& logFile) {
    std::string log = logFile.empty() || logFile[0] == '/' ? logFile : dir_ + "/" + logFile;
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int fd = open(log.empty() ? "/dev/null" : log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        std::vector<std::string> full{"ip", "netns", "exec", Namespace(host)};
        full.insert(full.end(), argv.begin(), argv.end());
        std::vector<char*> args;
        for (const auto& a : full) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (pid > 0) spawned_.push_back(pid);
    return pid;
}

bool Lab::Alive(pid_t pid) const {
    int status;
    return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
}

void Lab::Stop(pid_t pid) {
    if (pid <= 0) return;
    int status;
    if (waitpid(pid, &status, WNOHANG) != 0) return;
    kill(-pid, SIGTERM);
    for (int i = 0; i < 30; ++i) {
        if (waitpid(pid, &status, WNOHANG) != 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(-pid, SIGKILL);
    waitpid(pid, &status, 0);
}

pid_t Lab::StartCamsim(const std::string& host, const std::string& name, const std::string& json,
                       const std::string& interfaceName) {
    std::string config = dir_ + "/" + name + ".json";
    if (!WriteFile(config, json)) return -1;
    std::string log = CamsimLog(name);
    pid_t pid = Spawn(host,
                      {BuiltProgram("tools/camsim/camsim"), "--config", config, "--interface", interfaceName, "--log", log},
                      name + ".out");
    if (pid < 0) return -1;
    if (!WaitForText(log, " ready ", 10000)) {
        error_ = "camsim " + name + " did not start: " + ReadFile(dir_ + "/" + name + ".out") + ReadFile(log);
        Stop(pid);
        return -1;
    }
    return pid;
}

std::string Lab::RunIn(const std::string& host, const std::function<std::string()>& fn, int timeoutSeconds) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return "";
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        int ns = open(("/run/netns/" + Namespace(host)).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) _exit(3);
        std::string result = fn();
        size_t off = 0;
        while (off < result.size()) {
            ssize_t n = write(p[1], result.data() + off, result.size() - off);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(p[1]);
    std::string result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (pid > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        pollfd fd{p[0], POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(std::min<long long>(left.count(), 1000))) <= 0) continue;
        char buf[4096];
        ssize_t n = read(p[0], buf, sizeof buf);
        if (n <= 0) break;
        result.append(buf, static_cast<size_t>(n));
    }
    close(p[0]);
    int status;
    if (pid > 0) waitpid(pid, &status, 0);
    return result;
}

}  // namespace labtest
