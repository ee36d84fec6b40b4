// Command ids and the fixed texts of the window program. The ids are shared by
// the menus, the toolbar, the accelerator (F5) and the handler tables of the
// frame and the view; a QAction carries its id as its data.
#pragma once

namespace cmd {

// Frame and application
constexpr int ID_APP_EXIT = 57665;
constexpr int ID_APP_ABOUT = 57664;
constexpr int ID_VIEW_CUSTOMIZE = 126;
constexpr int ID_VIEW_APPLOOK_FIRST = 205;
constexpr int ID_VIEW_APPLOOK_LAST = 219;
constexpr int ID_VIEW_APPLOOK_VS_2008 = 210;  // the default look

// View
constexpr int ID_OPTIONS = 32771;
constexpr int ID_HELP_MANUAL = 32774;
constexpr int ID_MODIFY = 32776;                // context menu "Modify..."
constexpr int ID_WEB = 32778;                   // context menu "Web..."
constexpr int ID_REFRESH = 32780;               // context menu "Refresh"
constexpr int ID_TOOLBAR_MODIFY = 32781;        // toolbar "Modify IP Address"
constexpr int ID_TOOLBAR_WEB = 32782;           // toolbar "Open User Web"
constexpr int ID_TOOLBAR_REFRESH = 32783;       // toolbar "Refresh Camera List", F5
constexpr int ID_UPLOAD_CERTIFICATE = 32790;
constexpr int ID_GENERATE_CERTIFICATES = 32792;
constexpr int ID_CONNECTIVITY_WIZARD = 32794;
constexpr int ID_ASSIGN_ADDRESSES = 32796;      // context menu and Tools, "Assign Addresses..."
constexpr int ID_EXPORT_CAMERA_LIST = 32797;    // File, "Export Camera List..."

// Status bar pane 0
constexpr int ID_STATUS_PANE = 129;

}  // namespace cmd

namespace text {

constexpr const char* kDocTemplate = "Teliox 3.5\nZYRK\nTeliox\n\n\nTeliox.Document\nTeliox.Document";
constexpr const char* kAppTitle = "Teliox";
constexpr const char* kSettingsCompany = "Local AppWizard-Generated Applications";
constexpr const char* kSettingsApp = "Teliox";
constexpr const char* kSettingsLook = "ApplicationLook";
constexpr const char* kToolbarName = "Standard";
constexpr const char* kCustomize = "Customize...";
constexpr const char* kStatusPaneName = "Status";
constexpr const char* kNoItemSelected = "No item selected";

}  // namespace text
