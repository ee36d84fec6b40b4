// Runs the window program's tests on the offscreen platform, with the
// settings store in a temporary folder: the real settings are never touched.
#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>

#include <cstdlib>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    char folder[] = "/tmp/teliox-app-test-XXXXXX";
    if (!mkdtemp(folder)) return 2;
    qputenv("XDG_CONFIG_HOME", QByteArray(folder));
    qputenv("XDG_RUNTIME_DIR", QByteArray(folder));
    qputenv("XDG_DATA_HOME", QByteArray(folder));
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);
    for (auto format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, QString::fromLocal8Bit(folder));
        QSettings::setPath(format, QSettings::SystemScope, QString::fromLocal8Bit(folder));
    }
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    QDir(QString::fromLocal8Bit(folder)).removeRecursively();
    return result;
}
