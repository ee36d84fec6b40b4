// The visual looks 205 to 219: each id selects a visual manager, here a Qt
// style with a palette. The chosen id is stored as "ApplicationLook".
#pragma once

#include <QString>
#include <memory>

class QSettings;

enum class VisualManager {
    Plain,        // 205
    OfficeXP,     // 206
    Windows,      // 207
    Office2003,   // 208
    VS2005,       // 209
    VS2008,       // 210, the default
    Office2007,   // 215 to 218, and every other id
    Windows7,     // 219
};

enum class Office2007Style { Blue, Black, Silver, Aqua };

struct LookChoice {
    VisualManager manager = VisualManager::VS2008;
    bool styleGiven = false;                     // 215 to 218 name a colour style
    Office2007Style style = Office2007Style::Blue;
    bool smartDocking = true;                    // every id but 205, 206 and 207
};

// The look table.
LookChoice LookForId(int id);
QString VisualManagerName(VisualManager manager);

// The settings store of the program ("Local AppWizard-Generated Applications", "Teliox").
std::unique_ptr<QSettings> NewProgramSettings();
// "ApplicationLook", 210 when missing or unreadable.
int ReadApplicationLook();
void WriteApplicationLook(int id);

// Applies a look to the whole application and returns what was chosen. The
// Office 2007 colour style stays as it was for ids that do not name one.
LookChoice ApplyLook(int id);
Office2007Style CurrentOffice2007Style();
