// Runs the Teliox frame with its real discovery threads on the offscreen
// platform and prints the list once a scan has completed:
//   teliox_view_probe MIN_ROWS TIMEOUT_SECONDS [REFRESH]
// With REFRESH 1 it then runs Refresh (F5) and waits for the list again.
// Lines: "ROW<TAB>name<TAB>ip<TAB>mac<TAB>interface<TAB>image0<TAB>image4",
// "SHARED<TAB>name<TAB>ip<TAB>mac<TAB>address cell tooltip" for every row
// marked as sharing its address, "EMPTIED<TAB>n" (rows right after the
// refresh), "PANE<TAB>status pane text".
// With TELIOX_PROBE_SHOTS=DIR it also saves the window as
// DIR/screenshot-list.png (on the display of DISPLAY when set, e.g. Xvfb);
// with TELIOX_PROBE_ASSIGN_FROM=ADDRESS it then selects the cameras on the
// adapter of that address, opens Assign Addresses from there, applies the
// plan when TELIOX_PROBE_ASSIGN_APPLY=1 and saves DIR/screenshot-assign.png
// once the rescan is through.
// It broadcasts, so it refuses to run in the machine's own network namespace:
// only inside a lab host.
#include "app/assign_dialog.h"
#include "app/commands.h"
#include "app/ip_addr_ctrl.h"
#include "app/main_frame.h"
#include "discovery/adapters.h"

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QPixmap>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include <cstdio>

namespace {

// True only when this process lives in one of the lab's namespaces (named
// "tlx..." under /run/netns): never in the machine's own one.
bool InLabNetworkNamespace() {
    struct stat self {};
    if (stat("/proc/self/ns/net", &self) != 0) return false;
    DIR* dir = opendir("/run/netns");
    if (!dir) return false;
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, "tlx", 3) != 0) continue;
        struct stat ns {};
        const std::string path = std::string("/run/netns/") + entry->d_name;
        if (stat(path.c_str(), &ns) == 0 && ns.st_ino == self.st_ino && ns.st_dev == self.st_dev) found = true;
    }
    closedir(dir);
    return found;
}

void PrintRows(CTelioxView* view) {
    const CCameraListModel* model = view->Model();
    for (int row = 0; row < model->rowCount(); ++row) {
        std::printf("ROW\t%s\t%s\t%s\t%s\t%d\t%d\n", qPrintable(model->ItemText(row, 0)),
                    qPrintable(model->ItemText(row, 1)), qPrintable(model->ItemText(row, 2)),
                    qPrintable(model->ItemText(row, 3)), model->ItemImage(row, 0), model->ItemImage(row, 4));
    }
}

void PrintShared(CTelioxView* view) {
    const CCameraListModel* model = view->Model();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->ItemImage(row, kColIpAddress) != kImageDuplicate) continue;
        const QString tip = model->data(model->index(row, kColIpAddress), Qt::ToolTipRole).toString();
        std::printf("SHARED\t%s\t%s\t%s\t%s\n", qPrintable(model->ItemText(row, 0)),
                    qPrintable(model->ItemText(row, 1)), qPrintable(model->ItemText(row, 2)),
                    qPrintable(QString(tip).replace(QLatin1Char('\n'), QLatin1Char(' '))));
    }
}

// Waits, processing events, until `done` holds or boundMs passes.
template <typename Pred>
bool WaitFor(Pred done, int boundMs) {
    QEventLoop loop;
    QTimer tick;
    QTimer::singleShot(boundMs, &loop, &QEventLoop::quit);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (done()) loop.quit();
    });
    tick.start(100);
    if (!done()) loop.exec();
    return done();
}

// The screenshots of the documentation (see the head of this file).
void TakeShots(CMainFrame* frame, const QString& dir) {
    CTelioxView* view = frame->View();
    frame->grab().save(dir + QStringLiteral("/screenshot-list.png"));
    const QByteArray from = qgetenv("TELIOX_PROBE_ASSIGN_FROM");
    uint32_t start = 0;
    if (from.isEmpty() || !ParseIPv4(from.toStdString(), start)) return;
    uint32_t adapter = 0;
    if (const auto table = ReadAdapterTable())
        for (const AdapterInfo& a : *table) {
            uint32_t address = 0, mask = 0;
            if (ParseIPv4(a.address, address) && ParseIPv4(a.mask, mask) && (address & mask) == (start & mask))
                adapter = a.index;
        }
    view->List()->clearSelection();
    const std::vector<CDevice> shown = view->ShownDevices();
    for (int row = 0; row < static_cast<int>(shown.size()); ++row)
        if (shown[static_cast<size_t>(row)].adapterIndex == adapter)
            view->List()->selectionModel()->select(view->ShownModel()->index(row, 0),
                                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const bool apply = qgetenv("TELIOX_PROBE_ASSIGN_APPLY") == "1";
    view->SetAssignDialogRunner([&](CAssignAddressesDlg& dialog) {
        dialog.show();
        dialog.StartCtrl()->SetAddress(start);
        emit dialog.StartCtrl()->AddressEdited();
        WaitFor([&] { return dialog.PlanReady(); }, 30000);
        if (apply) {
            dialog.OnApply();
            WaitFor([&] { return dialog.RunFinished() && dialog.RescanDone(); }, 90000);
        }
        dialog.grab().save(dir + QStringLiteral("/screenshot-assign.png"));
        std::printf("ASSIGN\t%s\t%s\n", qPrintable(dialog.SummaryLabel()->text()),
                    qPrintable(dialog.RescanLabel()->text()));
        return int(QDialog::Accepted);
    });
    frame->OnCommand(cmd::ID_ASSIGN_ADDRESSES);
}

}  // namespace

int main(int argc, char** argv) {
    if (!InLabNetworkNamespace()) {
        std::fprintf(stderr, "teliox_view_probe: runs real discovery; start it only inside a lab host\n");
        return 3;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: teliox_view_probe MIN_ROWS TIMEOUT_SECONDS [REFRESH]\n");
        return 2;
    }
    const int minRows = std::atoi(argv[1]);
    const int timeoutSeconds = std::atoi(argv[2]);
    bool refresh = argc > 3 && std::atoi(argv[3]) != 0;

    const QString shots = qEnvironmentVariable("TELIOX_PROBE_SHOTS");
    if (shots.isEmpty() || qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir settingsFolder;
    for (auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, settingsFolder.path());
    QApplication app(argc, argv);

    auto frame = std::make_unique<CMainFrame>();  // the real discovery threads
    if (!frame->LoadFrame()) return 1;
    frame->show();
    CTelioxView* view = frame->View();

    int result = 1;
    QTimer poll;
    poll.setInterval(100);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        bool enabled = false;
        view->OnUpdateCmdUI(cmd::ID_TOOLBAR_REFRESH, enabled);  // enabled once no cycle runs
        if (!enabled || view->StatusText().Get() != "Scan completed" || view->Model()->rowCount() < minRows) return;
        if (refresh) {
            refresh = false;
            frame->OnCommand(cmd::ID_TOOLBAR_REFRESH);
            std::printf("EMPTIED\t%d\n", view->Model()->rowCount());
            view->SetStatus("");
            return;
        }
        poll.stop();
        QTimer::singleShot(1200, [&] {  // the status timer and the idle update show the text
            PrintRows(view);
            PrintShared(view);
            std::printf("PANE\t%s\n", qPrintable(frame->StatusPane()->text()));
            std::fflush(stdout);
            if (!shots.isEmpty()) TakeShots(frame.get(), shots);
            std::fflush(stdout);
            result = 0;
            frame->OnCommand(cmd::ID_APP_EXIT);
        });
    });
    poll.start();
    QTimer::singleShot(timeoutSeconds * 1000, [&] {
        PrintRows(view);
        std::fflush(stdout);
        std::fprintf(stderr, "teliox_view_probe: timed out\n");
        frame->OnCommand(cmd::ID_APP_EXIT);
    });
    app.exec();
    frame.reset();  // stops the discovery threads
    return result;
}
