// The IP address settings dialog: DHCP or a fixed address with subnet mask and
// default gateway. The caller sets the members, runs the dialog and reads the
// members back when it closes with OK.
#pragma once

#include <QDialog>
#include <cstdint>

class QLineEdit;
class QRadioButton;
class QPushButton;
class QGroupBox;
class CIPAddressCtrl;
class CMyIPAddrCtrl;

class CIPSettings : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 311 };
    explicit CIPSettings(QWidget* parent = nullptr);

    bool obtainAutomatically = false;  // radio 1002 rather than 1003
    bool settingsKnown = true;         // netmask and gatewayAddress are valid
    bool automaticAllowed = true;      // radio 1002 may be chosen
    QString cameraName;
    uint32_t address = 0;              // host byte order
    uint32_t netmask = 0;
    uint32_t gatewayAddress = 0;

    // Runs the initialisation (once) and the dialog; QDialog::Accepted is OK.
    int DoModal();

    // Dialog initialisation: copies the members into the controls and sets
    // the radio and enabling state. Runs once; showing the dialog runs it too.
    // Returns false when it has put the focus itself (the caret in the fourth
    // field of the address).
    bool OnInitDialog();

    // Handlers
    void OnObtainAutomatically();   // click on 1002
    void OnUseFollowingAddress();   // click on 1003
    void OnOK();                    // 1: reads the controls into the members, closes with OK
    // Suggests mask and gateway from the local adapter on the camera's network.
    void FillFromAdapter();

    // Controls, by their dialog ids.
    QLineEdit* NameEdit() const { return nameEdit; }          // 1001
    QRadioButton* AutoRadio() const { return autoRadio; }     // 1002
    QRadioButton* ManualRadio() const { return manualRadio; } // 1003
    CMyIPAddrCtrl* AddressCtrl() const { return addressCtrl; }// 1004
    CIPAddressCtrl* MaskCtrl() const { return maskCtrl; }     // 1005
    CIPAddressCtrl* GatewayCtrl() const { return gatewayCtrl; } // 1006
    QPushButton* OkButton() const { return okButton; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void DoDataExchange(bool saveAndValidate);

    QLineEdit* nameEdit;
    QRadioButton* autoRadio;
    QRadioButton* manualRadio;
    QGroupBox* group;
    CMyIPAddrCtrl* addressCtrl;
    CIPAddressCtrl* maskCtrl;
    CIPAddressCtrl* gatewayCtrl;
    QPushButton* okButton;
    QPushButton* cancelButton;
    bool initialised = false;
};
