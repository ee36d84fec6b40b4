// Shows the Teliox frame with made-up cameras and no discovery at all (no
// thread, no socket), to look at the window and take screenshots:
//   teliox_preview [main|menu|ip|about|options|customize|question|upload] [seconds]
// "question" shows the overwrite question of Generate certificates; "upload"
// runs Upload certificate with no client certificate (the command stops
// before any network traffic) to show its status texts.
// It quits by itself after `seconds` (default 8).
#include "app/about_dlg.h"
#include "app/commands.h"
#include "app/ip_settings.h"
#include "app/main_frame.h"
#include "app/options_dlg.h"
#include "app/teliox_app.h"
#include "app/toolbar_customize.h"
#include "discovery/adapters.h"

#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

namespace {

class NoDiscovery : public IDiscoveryControl {
public:
    void Start() override {}
    void Stop() override {}
    void SignalScan() override {}
    bool IsScanning() const override { return false; }
};

DeviceInfo Camera(const std::string& name, const std::string& host, const std::string& ip, const std::string& mac,
                  const std::string& platform, uint32_t adapter = 2) {
    DeviceInfo info;
    info.name = name;
    info.hostName = host;
    info.ipAddress = ip;
    info.macAddress = mac;
    info.adapterIndex = adapter;
    info.interfaceName = GetInterfaceName(adapter);
    info.txt["bsp"] = platform;
    return info;
}

void FeedCameras(CTelioxView* view) {
    CDeviceList& list = view->Devices();
    list.AddOrUpdateDevice(Camera("Lobby north", "lobby-north", "192.168.0.21", "00:1B:4C:10:22:01", "J3"));
    list.AddOrUpdateDevice(Camera("Loading dock", "dock-2", "192.168.0.22", "00:1B:4C:10:22:02", "W8"));
    DeviceInfo tls = Camera("Server room", "server-room", "192.168.0.23", "00:1B:4C:10:22:03", "J5");
    tls.txt["enabled"] = "false";
    list.AddOrUpdateDevice(tls);
    list.AddOrUpdateDevice(Camera("GigE camera", "GigE0", "169.254.17.5", "00:1B:4C:10:22:04", "HU"));
    list.AddOrUpdateDevice(Camera("Roof east", "roof-east", "192.168.0.25", "00:1B:4C:10:22:05", "W6"));
    list.AddOrUpdateDevice(Camera("Gate One", "One", "10.20.0.7", "00:1B:4C:10:22:06", "QD", 3));
    list.WithDevice(4, [](CDevice& d) { d.ipChangePending = true; });
    list.AddOrUpdateDevice(Camera("Roof east", "roof-east", "192.168.0.25", "00:1B:4C:10:22:05", "W6"));
}

}  // namespace

int main(int argc, char** argv) {
    // The settings store goes to a temporary folder: a preview never changes the user's settings.
    QTemporaryDir settingsFolder;
    for (auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, settingsFolder.path());
    // The certificate folder too: a preview never reads or writes the machine's.
    QTemporaryDir programData;
    qputenv("TELIOX_PROGRAMDATA", programData.path().toLocal8Bit());
    CTelioxApp app(argc, argv);
    const QString what = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("main");
    const int seconds = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 8;
    CAdapterTableSource adapters([] {
        return std::optional<AdapterTable>(AdapterTable{{2, "192.168.0.10", "255.255.255.0", "192.168.0.1", "lab0"},
                                                        {3, "10.20.0.2", "255.255.255.0", "10.20.0.1", "lab1"}});
    });
    if (!app.InitInstance([](CDeviceList&, CStatusText&) { return std::make_unique<NoDiscovery>(); })) return 1;
    CMainFrame* frame = app.MainFrame();
    frame->move(20, 20);
    CTelioxView* view = frame->View();
    FeedCameras(view);
    view->FlushRowChanges();
    view->SetStatus("Scan completed");
    view->List()->selectionModel()->select(view->Model()->index(what == QLatin1String("menu") ? 3 : 1, 0),
                                           QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);

    QTimer::singleShot(600, frame, [&] {
        if (what == QLatin1String("menu")) {
            auto device = view->GetSelectedDevice();
            if (!device) return;
            QMenu* menu = view->BuildContextMenu(*device).release();
            const QRect rowRect = view->List()->visualRect(view->ShownModel()->index(3, 1));
            menu->popup(view->List()->viewport()->mapToGlobal(rowRect.center()));
        } else if (what == QLatin1String("ip")) {
            auto* dlg = new CIPSettings(frame);
            dlg->cameraName = QStringLiteral("GigE camera");
            dlg->address = (169u << 24) | (254u << 16) | (17u << 8) | 5u;
            dlg->netmask = 0xFFFF0000u;
            dlg->automaticAllowed = false;
            dlg->show();
            dlg->move(frame->geometry().center() - dlg->rect().center());
        } else if (what == QLatin1String("about")) {
            auto* dlg = new CAboutDlg(frame);
            dlg->show();
            dlg->move(frame->geometry().center() - dlg->rect().center());
        } else if (what == QLatin1String("options")) {
            auto* dlg = new Options(frame);
            dlg->show();
            dlg->move(frame->geometry().center() - dlg->rect().center());
        } else if (what == QLatin1String("customize")) {
            frame->OnViewCustomize();
        } else if (what == QLatin1String("question")) {
            // The box Generate certificates asks in when "cert.pem" exists.
            const QString question = QStringLiteral("Client certificates already exists. Overwrite?");
            view->ShowStatus(question.toStdString());
            auto* box = new QMessageBox(QMessageBox::Question, QStringLiteral("Teliox"), question,
                                        QMessageBox::Yes | QMessageBox::No, frame);
            box->show();
            box->move(frame->geometry().center() - box->rect().center());
        } else if (what == QLatin1String("upload")) {
            frame->OnCommand(cmd::ID_UPLOAD_CERTIFICATE);  // no cert.pem in the temporary folder: no traffic
        }
    });
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    const int result = app.exec();
    app.ExitInstance();
    return result;
}
