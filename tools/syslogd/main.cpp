// halvex-syslogd: collects the messages that programs log through the
// library's syslog interface from the queue "Syslog_Q" and hands each one to
// syslog(3) with its priority and its logger name as the identity.
//
//   halvex-syslogd [--print] [--no-server] [--port N] [--queue NAME]
//
// --print writes "<priority> <logger>: <text>" lines to the standard output
// instead. Without a queue server on the port, one is started in-process
// (unless --no-server).
#include <halvex/platform/fmq.h>
#include <halvex/platform/syslogintf.h>
#include <halvex/supervisor/supervisor.h>

#include "halvex/platform/syslog_internal.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>
#include <thread>
#include <unistd.h>

using namespace ZYRK;

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int)
{
    gStop = 1;
}

int SyslogPriority(int priority)
{
    switch (priority) {
    case SLOG_DEBUG: return LOG_DEBUG;
    case SLOG_INFO: return LOG_INFO;
    case SLOG_NOTICE: return LOG_NOTICE;
    case SLOG_WARNING: return LOG_WARNING;
    case SLOG_ERROR: return LOG_ERR;
    case SLOG_CRITICAL: return LOG_CRIT;
    case SLOG_ALERT: return LOG_ALERT;
    case SLOG_EMERGENCY: return LOG_EMERG;
    default: return LOG_NOTICE;
    }
}

bool StartQueueServer(uint16_t port)
{
    auto* task = new CFMQServerTask;
    CSupervisor sup;
    const char* name = "syslogd_fmqserver";
    if (task->Init(name, 0, 0, 0) != 0 || sup.AddTask(task, CLibContainer::INITED) != 0) {
        delete task;
        return false;
    }
    CTaskContainer* held = sup.GetTask(name);
    const uint32_t arg[4] = {0, port, 0, 0};
    bool ok = sup.Start(name, arg) == 0 && task->WaitUntilListening(10000);
    if (held)
        held->Release();
    return ok;
}

void Usage()
{
    std::fprintf(stderr, "usage: halvex-syslogd [--print] [--no-server] [--port N] [--queue NAME]\n");
}

}  // namespace

int main(int argc, char** argv)
{
    bool print = false;
    bool hostServer = true;
    uint16_t port = CQueue::DefaultPort();
    std::string queueName = Platform::SyslogQueueName();
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--print") {
            print = true;
        } else if (a == "--no-server") {
            hostServer = false;
        } else if (a == "--port" && i + 1 < argc) {
            int p = std::atoi(argv[++i]);
            if (p <= 0 || p > 65535) {
                Usage();
                return 2;
            }
            port = static_cast<uint16_t>(p);
        } else if (a == "--queue" && i + 1 < argc) {
            queueName = argv[++i];
        } else {
            Usage();
            return 2;
        }
    }
    // CQueue reaches the server through the port in the environment.
    setenv("HALVEX_FMQ_PORT", std::to_string(port).c_str(), 1);

    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    FMQ_HANDLE probe = IpcFMQInit(port);
    if (probe) {
        IpcFMQCloseHandle(probe);
    } else if (!hostServer || !StartQueueServer(port)) {
        std::fprintf(stderr, "halvex-syslogd: no queue server on 127.0.0.1:%u\n", port);
        return 1;
    }

    std::string ident;
    while (!gStop) {
        CQueue queue;
        RESULT_T r = queue.Init(queueName.c_str(), 256, SLOG_MSG_MAX, 0, 0);
        if (r == FMQ_ERR_EXISTS) {
            std::fprintf(stderr, "halvex-syslogd: the queue \"%s\" has another reader\n", queueName.c_str());
            return 1;
        }
        if (r != 0) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            continue;
        }
        if (print) {
            std::printf("ready\n");
            std::fflush(stdout);
        }
        while (!gStop) {
            uint8_t buf[SLOG_MSG_MAX];
            r = queue.Receive(buf, CQueue::RECEIVE_WAIT, 500, sizeof buf);
            if (r == ERR_TIMEOUT || r == FMQ_ERR_EMPTY)
                continue;
            if (r != 0)
                break;  // the server went away: create the queue again
            Platform::SyslogMessage m;
            if (!Platform::ParseSyslogMessage(buf, sizeof buf, &m))
                continue;
            if (print) {
                std::printf("%s %s: %s\n", CSyslogIntf::getPriorityText(m.priority), m.logger.c_str(),
                            m.text.c_str());
                std::fflush(stdout);
                continue;
            }
            if (m.logger != ident) {
                ident = m.logger;
                closelog();
                openlog(ident.c_str(), LOG_NDELAY, LOG_USER);
            }
            syslog(SyslogPriority(m.priority), "%s", m.text.c_str());
        }
        queue.Delete();
        if (!gStop)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    closelog();
    return 0;
}
