// teliox-cli scan: runs the discovery threads of the window program against
// a camera list of its own and prints the list.
//
//   teliox-cli scan [--json | --csv] [--seconds N] [--watch N]
//
// The command-line scan runs every source on every adapter at once: the
// multicast query, the mDNS query-and-collect and the GigE Vision broadcast go
// out together (after the mDNS listener has joined the group on every
// adapter) and share one collection window of a second; the scan ends when it
// closes and the GigE Vision answers are merged. MAC addresses still being
// resolved then get a little longer: a look-up gets 100 ms from its start,
// the wait 300 ms at most. --seconds N keeps the listeners
// open for N seconds, but never ends before that first cycle is merged.
// --watch N refreshes the list every N seconds (empties it and scans again,
// as the window's refresh does) and prints rows as they appear, until
// interrupted or, with --seconds, for that long. Progress goes to stderr.
// --json and --csv write the list the way the window's export does; texts
// that are not UTF-8 appear as U+FFFD there and in the table.
#include "commands.h"

#include "discovery/adapters.h"
#include "discovery/camera_export.h"
#include "discovery/device_list.h"
#include "discovery/scan_threads.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t interrupted = 0;
void OnSignal(int) { interrupted = 1; }

// Tells the printing loop that rows came in. Never calls back into the list.
class CNotifySink : public IDeviceListSink {
public:
    void InsertRow(int, const std::string&) override { Notify(); }
    void SetItemText(int, int, const std::string&) override {}
    void SetItemImage(int, int, int) override {}
    void DeleteAllRows() override { Notify(); }

    void WaitFor(std::chrono::milliseconds ms) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, ms, [this] { return changed; });
        changed = false;
    }

private:
    void Notify() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            changed = true;
        }
        cv.notify_one();
    }
    std::mutex mutex;
    std::condition_variable cv;
    bool changed = false;
};

struct Options {
    bool json = false;
    bool csv = false;
    int seconds = 0;  // 0: until the first cycle is done
    int watch = 0;    // 0: one scan
};

void Usage() {
    std::fputs("usage: teliox-cli scan [--json | --csv] [--seconds N] [--watch N]\n"
               "  --json       print the camera list as a JSON array\n"
               "  --csv        print the camera list as CSV (RFC 4180, UTF-8, header row)\n"
               "  --seconds N  keep the listeners open for N seconds, never less than one full\n"
               "               scan cycle (default: one scan cycle, about a second)\n"
               "  --watch N    refresh the list every N seconds and print rows as they appear\n",
               stderr);
}

bool ParsePositive(const char* text, int& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v <= 0 || v > 86400) return false;
    out = static_cast<int>(v);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--json" || a == "--csv") {
            (a == "--json" ? o.json : o.csv) = true;
            if (o.json && o.csv) {
                std::fprintf(stderr, "teliox-cli scan: --json and --csv exclude each other\n");
                return false;
            }
        } else if ((a == "--seconds" || a == "--watch") && i + 1 < argc) {
            int& target = a == "--seconds" ? o.seconds : o.watch;
            if (!ParsePositive(argv[++i], target)) {
                std::fprintf(stderr, "teliox-cli scan: %s needs a whole number of seconds (1 to 86400), not '%s'\n",
                             a.c_str(), argv[i]);
                return false;
            }
        } else if (a == "-h" || a == "--help") {
            Usage();
            std::exit(0);
        } else {
            std::fprintf(stderr, "teliox-cli scan: unknown or incomplete option '%s'\n", a.c_str());
            return false;
        }
    }
    return true;
}

std::string Flags(const CDevice& d) {
    std::string f;
    auto add = [&f](const char* s) {
        if (!f.empty()) f += ',';
        f += s;
    };
    if (!d.reachable) add("other-subnet");
    if (d.disabled) add("disabled");
    if (d.ipChangePending) add("ip-change-pending");
    if (!d.sharedAddressMacs.empty()) add("duplicate-address");
    return f.empty() ? "-" : f;
}

std::vector<std::string> Cells(const CDevice& d) {
    std::vector<std::string> cells{d.name,     d.ipAddress, d.macAddress, d.interfaceName,
                                   d.hostName, d.platform,  d.model,      Flags(d)};
    for (std::string& c : cells) c = TerminalText(c);
    return cells;
}

const std::vector<std::string> kHeader = {"Name",  "IP Address", "MAC Address", "Interface",
                                          "Host",  "Platform",   "Model",       "Flags"};

void PrintLine(const std::vector<std::string>& cells, const std::vector<size_t>& widths) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
        line += cells[i];
        if (i + 1 < cells.size()) line.append(widths[i] > cells[i].size() ? widths[i] - cells[i].size() + 2 : 2, ' ');
    }
    std::printf("%s\n", line.c_str());
}

void PrintTable(const std::vector<CDevice>& rows) {
    std::vector<size_t> widths;
    for (const auto& h : kHeader) widths.push_back(h.size());
    for (const CDevice& d : rows) {
        auto c = Cells(d);
        for (size_t i = 0; i < c.size(); ++i) widths[i] = std::max(widths[i], c[i].size());
    }
    PrintLine(kHeader, widths);
    for (const CDevice& d : rows) PrintLine(Cells(d), widths);
}

// Fixed widths for rows printed one at a time.
const std::vector<size_t> kWatchWidths = {20, 15, 17, 28, 16, 8, 8, 8};

void PrintProgress(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

}  // namespace

int CmdScan(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        Usage();
        return 2;
    }

    auto table = ReadAdapterTable();
    if (!o.watch && (!table || table->empty())) {
        std::fputs("teliox-cli scan: no network adapter with IPv4 found (loopback does not count); nothing to scan\n",
                   stderr);
        if (o.json && !o.watch) std::printf("[]\n");
        else if (o.csv) std::fputs(CameraListCsv({}).c_str(), stdout);
        else if (!o.json) PrintTable({});
        return 0;
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    CNotifySink sink;
    CDeviceList list(&sink);
    CStatusText status;
    CDiscoveryThreads threads(list, status);
    threads.SetConcurrentCycle(true);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::string lastStatus;
    auto showProgress = [&] {
        std::string s = status.Get();
        if (s != lastStatus) {
            lastStatus = s;
            if (!s.empty()) PrintProgress(s);
        }
    };

    threads.Start();

    if (!o.watch) {
        // Ends once the first cycle is merged and, with --seconds, that time
        // has passed. A cycle lasts about a second; never wait without end.
        const auto wanted = start + std::chrono::seconds(o.seconds);
        const auto limit = start + std::chrono::seconds(o.seconds + 30);
        while (!interrupted && Clock::now() < limit) {
            showProgress();
            if (threads.CyclesCompleted() >= 1 && Clock::now() >= wanted) break;
            sink.WaitFor(std::chrono::milliseconds(20));
        }
        if (!interrupted && threads.CyclesCompleted() < 1)
            std::fputs("teliox-cli scan: the scan cycle did not complete in time; the list may be incomplete\n", stderr);
        // MAC addresses resolved after their rows were merged fill them in;
        // look-ups that have not resolved in 100 ms are not waited for.
        threads.WaitForMacLookups(Clock::now() + std::chrono::milliseconds(300), std::chrono::milliseconds(100));
        threads.Stop();
        showProgress();
        std::vector<CDevice> rows = list.Snapshot();
        if (o.json) {
            std::fputs(CameraListJson(rows).c_str(), stdout);
        } else if (o.csv) {
            std::fputs(CameraListCsv(rows).c_str(), stdout);
        } else {
            PrintTable(rows);
        }
        std::fflush(stdout);
        return 0;
    }

    // Watch: print rows as they come, refresh every `watch` seconds.
    if (o.csv) std::fputs(CsvLine(CameraExportKeys()).c_str(), stdout);
    else if (!o.json) PrintLine(kHeader, kWatchWidths);
    std::fflush(stdout);
    size_t printed = 0;
    auto nextRefresh = start + std::chrono::seconds(o.watch);
    auto printNew = [&] {
        std::vector<CDevice> rows = list.Snapshot();
        for (; printed < rows.size(); ++printed) {
            if (o.json)
                std::printf("%s\n", CameraJson(rows[printed]).c_str());
            else if (o.csv)
                std::fputs(CsvLine(CameraExportCells(rows[printed])).c_str(), stdout);
            else
                PrintLine(Cells(rows[printed]), kWatchWidths);
        }
        std::fflush(stdout);
    };
    while (!interrupted && !(o.seconds && Clock::now() >= start + std::chrono::seconds(o.seconds))) {
        sink.WaitFor(std::chrono::milliseconds(200));
        showProgress();
        printNew();
        if (Clock::now() >= nextRefresh && !threads.IsScanning()) {
            nextRefresh = Clock::now() + std::chrono::seconds(o.watch);
            list.RemoveAll();
            printed = 0;
            PrintProgress("Refresh");
            threads.SignalScan();
        }
    }
    threads.Stop();
    showProgress();
    printNew();
    return 0;
}
