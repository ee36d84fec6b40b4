// The document of the single-document frame. It holds nothing: the program
// has no files; it exists for the caption ("ZYRK") and the frame's structure.
#pragma once

#include <QObject>
#include <QString>

class CTelioxDoc : public QObject {
    Q_OBJECT
public:
    explicit CTelioxDoc(QObject* parent = nullptr) : QObject(parent) {}
    // Default initialisation only; nothing is loaded, stored or serialised.
    bool OnNewDocument() { return true; }
    // The document name of the caption.
    QString GetTitle() const { return QStringLiteral("ZYRK"); }
};
