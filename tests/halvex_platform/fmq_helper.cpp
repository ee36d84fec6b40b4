// Helper program of the queue tests, run as a separate process:
//   fmq_helper server [port]     start a queue server, print its port, run until killed
//   fmq_helper client            (HALVEX_FMQ_PORT set) create a queue, print "ready"; on each
//                                line of input send one message and print the result
//   fmq_helper creator <queue>   create the queue, print "ready", answer each message
//                                with "echo:<message>" on the queue <queue>R, until killed
#include "fmq_support.h"

#include <halvex/platform/fmq.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace ZYRK;

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "server") == 0) {
        uint32_t listenPort = argc >= 3 ? static_cast<uint32_t>(std::atoi(argv[2])) : 0xFFFF;
        uint16_t port = fmqtest::StartServer("fmqhelper_listen", listenPort);
        if (!port)
            return 2;
        std::printf("%u\n", port);
        std::fflush(stdout);
        for (;;)
            pause();
    }
    if (argc >= 3 && std::strcmp(argv[1], "creator") == 0) {
        CQueue in;
        RESULT_T r = in.Init(argv[2], 8, 64, 0, 0);
        if (r != 0) {
            std::printf("failed 0x%08X\n", r);
            std::fflush(stdout);
            return 3;
        }
        std::printf("ready\n");
        std::fflush(stdout);
        std::string replyName = std::string(argv[2]).substr(0, 7) + "R";
        for (;;) {
            char msg[64] = {};
            r = in.Receive(msg, CQueue::RECEIVE_WAIT, 0, sizeof msg);
            if (r != 0) {
                usleep(50000);
                continue;
            }
            CQueue out;
            if (out.Attach(replyName.c_str()) != 0)
                continue;
            std::string answer = "echo:" + std::string(msg, strnlen(msg, sizeof msg));
            out.Send(answer.c_str(), static_cast<uint32_t>(answer.size() + 1));
        }
    }
    if (argc >= 2 && std::strcmp(argv[1], "client") == 0) {
        CQueue q;
        if (q.Init(fmqtest::UniqueQueueName('C').c_str(), 4, 16, 0, 0) != 0)
            return 4;
        std::printf("ready\n");
        std::fflush(stdout);
        char line[64];
        while (std::fgets(line, sizeof line, stdin)) {
            uint8_t buf[16] = {};
            RESULT_T r;
            if (std::strncmp(line, "new", 3) == 0) {
                CQueue fresh;
                r = fresh.Init(fmqtest::UniqueQueueName('C').c_str(), 4, 16, 0, 0);
                if (r == 0)
                    r = fresh.Send(buf, sizeof buf);
                if (r == 0)
                    r = fresh.Receive(buf, CQueue::RECEIVE_WAIT, 5000, sizeof buf);
            } else {
                r = q.Send(buf, sizeof buf);
            }
            std::printf("0x%08X\n", r);
            std::fflush(stdout);
        }
        return 0;
    }
    std::fprintf(stderr, "usage: fmq_helper server | creator <queue>\n");
    return 1;
}
