// The view's commands on the whole list: "Assign Addresses..." for the
// selected cameras and "Export Camera List..." of the rows shown.
#include "app/actions/assign_routes.h"
#include "app/assign_dialog.h"
#include "app/commands.h"
#include "app/teliox_view.h"
#include "discovery/camera_export.h"

#include <QFileDialog>
#include <QSaveFile>

void CTelioxView::SetAssignOptions(const AssignDialogOptions& options) {
    assignOptions = std::make_shared<AssignDialogOptions>(options);
}

void CTelioxView::OnAssignAddresses() {
    const std::vector<CDevice> selected = SelectedDevices();
    if (selected.empty()) {
        SetStatus(text::kNoItemSelected);
        return;
    }
    bool assignable = false;
    for (const CDevice& d : selected) assignable = assignable || CanModifyIP(d);
    if (!assignable) {
        SetStatus("No selected camera offers an address change");
        return;
    }
    AssignDialogOptions options = assignOptions ? *assignOptions : AssignDialogOptions();
    if (!options.change) {
        // The view's own ports and broadcast for the resource-tree route.
        AssignRouteOptions routes;
        routes.resourceTree = routeOptions;
        options.change = [routes](const PlannedChange& change, unsigned slot) {
            return ChangeCameraAddress(change, slot, routes);
        };
    }
    CAssignAddressesDlg dialog(
        selected, [this] { return devices.Snapshot(); }, [this] { OnRefresh(); }, options, this);
    if (assignDialogRunner)
        assignDialogRunner(dialog);
    else
        dialog.DoModal();
}

void CTelioxView::OnExportCameraList() {
    const QString csvFilter = QStringLiteral("CSV files (*.csv)");
    const QString jsonFilter = QStringLiteral("JSON files (*.json)");
    QString chosenFilter = csvFilter;
    QString file = exportFileRunner ? exportFileRunner()
                                    : QFileDialog::getSaveFileName(this, QStringLiteral("Export Camera List"),
                                                                   QStringLiteral("cameras.csv"),
                                                                   csvFilter + QStringLiteral(";;") + jsonFilter,
                                                                   &chosenFilter);
    if (file.isEmpty()) return;
    ExportFormat format = ExportFormatForFileName(file.toStdString());
    if (format == ExportFormat::Unknown) {
        // The name says nothing: the type chosen in the file dialog decides.
        format = chosenFilter == jsonFilter ? ExportFormat::Json : ExportFormat::Csv;
        file += format == ExportFormat::Json ? QStringLiteral(".json") : QStringLiteral(".csv");
    }
    const std::vector<CDevice> rows = ShownDevices();
    const std::string content = ExportCameraList(rows, format);
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(content.data(), static_cast<qint64>(content.size())) != static_cast<qint64>(content.size()) ||
        !out.commit()) {
        ShowStatus("Export failed: " + file.toStdString() + ": " + out.errorString().toStdString());
        return;
    }
    ShowStatus("Exported " + std::to_string(rows.size()) + " cameras to " + file.toStdString());
}
