// Child processes of the tests: started with pipes on their standard input
// and output, killed when the test leaves.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Child {
    pid_t pid = -1;
    int in = -1;   // the child's standard input
    int out = -1;  // its standard output
    ~Child();
};

inline Child Spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {})
{
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        return {};
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        std::string key = entry.substr(0, entry.find('='));
        if (!env.count(key))
            envText.push_back(entry);
    }
    for (const auto& [k, v] : env)
        envText.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    return {pid, toChild[1], fromChild[0]};
}

// One line of the child's output, or "" after 20 s without one. The post-log
// lines of tasks that the child starts are passed over.
inline std::string ReadRawLine(Child& c);

inline std::string ReadLine(Child& c)
{
    for (;;) {
        std::string line = ReadRawLine(c);
        if (line.rfind("POST ", 0) != 0)
            return line;
    }
}

inline std::string ReadRawLine(Child& c)
{
    std::string s;
    char ch;
    while (true) {
        pollfd p{c.out, POLLIN, 0};
        if (poll(&p, 1, 20000) != 1)
            return "";
        if (read(c.out, &ch, 1) != 1)
            return s;
        if (ch == '\n') {
            if (!s.empty() && s.back() == '\r')
                s.pop_back();
            return s;
        }
        s += ch;
    }
}

inline void WriteLine(Child& c, const char* text)
{
    std::string line = std::string(text) + "\n";
    ASSERT_EQ(write(c.in, line.data(), line.size()), static_cast<ssize_t>(line.size()));
}

inline void Kill(Child& c);
inline Child::~Child()
{
    Kill(*this);  // also when a failed assertion leaves the test early
}

inline void Kill(Child& c)
{
    if (c.pid > 0) {
        kill(c.pid, SIGKILL);
        waitpid(c.pid, nullptr, 0);
        c.pid = -1;
    }
    if (c.in >= 0)
        close(c.in);
    if (c.out >= 0)
        close(c.out);
    c.in = c.out = -1;
}

// Ends a child the orderly way (closing its input, or SIGTERM), so that it
// removes its named objects; SIGKILL only when it does not end in 10 s.
inline void Finish(Child& c, bool terminate = false)
{
    if (c.in >= 0) {
        close(c.in);
        c.in = -1;
    }
    if (c.pid > 0) {
        if (terminate)
            kill(c.pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 200; ++i) {
            if (waitpid(c.pid, &status, WNOHANG) == c.pid) {
                c.pid = -1;
                break;
            }
            usleep(50000);
        }
    }
    Kill(c);
}

}  // namespace
