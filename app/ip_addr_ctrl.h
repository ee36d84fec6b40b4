// An IPv4 address entry of four octet fields, as the dialogs use it: typing
// three digits or "." moves to the next field, Backspace at the start of a
// field and the arrow keys move between fields, a blank field reads as 0 and
// values above 255 are cut to 255. Addresses are 32-bit values in host byte
// order (first octet in the most significant byte).
#pragma once

#include <QFrame>
#include <array>
#include <cstdint>

class QLineEdit;
class QLabel;

class CIPAddressCtrl : public QFrame {
    Q_OBJECT
public:
    explicit CIPAddressCtrl(QWidget* parent = nullptr);

    void SetAddress(uint32_t address);
    // Returns the number of non-blank fields; blank fields count as 0 in `address`.
    int GetAddress(uint32_t& address) const;
    void ClearAddress();
    bool IsBlank() const;
    // Puts the caret into field 0..3.
    void SetFieldFocus(int field);
    // The field that last received the caret (-1 before any).
    int CaretField() const { return caretField; }

    QString FieldText(int field) const;
    QLineEdit* Field(int field) const { return fields.at(static_cast<size_t>(field)); }

signals:
    void AddressEdited();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Colours of the fields; the plain control follows the palette's states.
    virtual void ApplyColours();

private:
    void OnFieldEdited(int field);
    void ClampField(int field);
    // Moves the caret into `field`, before its first or after its last digit.
    void MoveCaret(int field, bool toEnd);
    void LayoutFields();
    int IndexOf(QObject* watched) const;

    std::array<QLineEdit*, 4> fields{};
    std::array<QLabel*, 3> dots{};
    int caretField = -1;
    bool applyingColours = false;

    friend class CMyIPAddrCtrl;
};

// The address control of the IP settings dialog: its fields keep the window
// background colour in every state, also while disabled, so that the address
// stays readable when "Obtain IP address automatically" is chosen.
class CMyIPAddrCtrl : public CIPAddressCtrl {
    Q_OBJECT
public:
    explicit CMyIPAddrCtrl(QWidget* parent = nullptr);

protected:
    void ApplyColours() override;
};
