#include "app/ip_settings.h"

#include "app/dialog_units.h"
#include "app/ip_addr_ctrl.h"
#include "discovery/address_plan.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <initializer_list>

CIPSettings::CIPSettings(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("IP Address Settings"));
    setObjectName(QStringLiteral("CIPSettings"));
    const CDialogUnits du(font());
    setFixedSize(du.Size(309, 176));

    nameEdit = new QLineEdit(this);
    nameEdit->setReadOnly(true);
    nameEdit->setFocusPolicy(Qt::ClickFocus);
    du.Place(nameEdit, 16, 13, 278, 16);

    autoRadio = new QRadioButton(QStringLiteral("Obtain IP address automatically"), this);
    du.Place(autoRadio, 16, 33, 278, 16);
    manualRadio = new QRadioButton(QStringLiteral("Use the following IP address"), this);
    du.Place(manualRadio, 16, 54, 278, 16);
    auto* radios = new QButtonGroup(this);
    radios->addButton(autoRadio, 1002);
    radios->addButton(manualRadio, 1003);

    group = new QGroupBox(QString(), this);
    du.Place(group, 16, 75, 278, 75);

    // The labels of the group's rows, on the left of their address controls.
    const auto addLabel = [&](const char* text, int y) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        du.Place(label, 24, y, 131, 14);
    };
    addLabel("IP address", 92);
    addressCtrl = new CMyIPAddrCtrl(this);
    du.Place(addressCtrl, 188, 88, 86, 14);
    addLabel("Subnet mask", 111);
    maskCtrl = new CIPAddressCtrl(this);
    du.Place(maskCtrl, 188, 109, 86, 14);
    addLabel("Default gateway", 130);
    gatewayCtrl = new CIPAddressCtrl(this);
    du.Place(gatewayCtrl, 188, 129, 86, 14);

    okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);
    du.Place(okButton, 103, 155, 50, 14);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    du.Place(cancelButton, 157, 155, 50, 14);

    // Tab order as in the template.
    setTabOrder(autoRadio, manualRadio);
    QWidget* previous = manualRadio;
    for (const CIPAddressCtrl* ctrl : std::initializer_list<const CIPAddressCtrl*>{addressCtrl, maskCtrl, gatewayCtrl}) {
        for (int i = 0; i < 4; ++i) {
            setTabOrder(previous, ctrl->Field(i));
            previous = ctrl->Field(i);
        }
    }
    setTabOrder(previous, okButton);
    setTabOrder(okButton, cancelButton);

    connect(autoRadio, &QRadioButton::clicked, this, &CIPSettings::OnObtainAutomatically);
    connect(manualRadio, &QRadioButton::clicked, this, &CIPSettings::OnUseFollowingAddress);
    connect(okButton, &QPushButton::clicked, this, &CIPSettings::OnOK);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

int CIPSettings::DoModal() {
    OnInitDialog();
    return exec();
}

void CIPSettings::showEvent(QShowEvent* event) {
    OnInitDialog();
    QDialog::showEvent(event);
}

void CIPSettings::DoDataExchange(bool saveAndValidate) {
    if (saveAndValidate) {
        cameraName = nameEdit->text();
        addressCtrl->GetAddress(address);
        maskCtrl->GetAddress(netmask);
        gatewayCtrl->GetAddress(gatewayAddress);
    } else {
        nameEdit->setText(cameraName);
        addressCtrl->SetAddress(address);
        maskCtrl->SetAddress(netmask);
        gatewayCtrl->SetAddress(gatewayAddress);
    }
}

bool CIPSettings::OnInitDialog() {
    if (initialised) return true;
    initialised = true;
    DoDataExchange(false);

    if (obtainAutomatically) {
        autoRadio->setChecked(true);
        addressCtrl->setEnabled(false);
        maskCtrl->ClearAddress();
        gatewayCtrl->ClearAddress();
        maskCtrl->setEnabled(false);
        gatewayCtrl->setEnabled(false);
    } else {
        manualRadio->setChecked(true);
        addressCtrl->setEnabled(true);
        maskCtrl->setEnabled(true);
        gatewayCtrl->setEnabled(true);
    }

    bool focusSet = false;
    if (!automaticAllowed) {
        autoRadio->setEnabled(false);
        uint32_t shown = 0, mask = 0;
        addressCtrl->GetAddress(shown);
        maskCtrl->GetAddress(mask);
        // Keep the first octet; keep the others where the mask's octet is non-zero.
        uint32_t network = shown & 0xFF000000u;
        for (int shift = 16; shift >= 0; shift -= 8)
            if ((mask >> shift) & 0xFF) network |= shown & (0xFFu << shift);
        addressCtrl->SetAddress(network);
        addressCtrl->SetFieldFocus(3);
        focusSet = true;
    }

    if (!settingsKnown) {
        maskCtrl->ClearAddress();
        gatewayCtrl->ClearAddress();
    }
    return !focusSet;
}

void CIPSettings::OnObtainAutomatically() {
    addressCtrl->setEnabled(false);
    maskCtrl->setEnabled(false);
    gatewayCtrl->setEnabled(false);
    obtainAutomatically = true;
}

void CIPSettings::OnUseFollowingAddress() {
    addressCtrl->setEnabled(true);
    maskCtrl->setEnabled(true);
    gatewayCtrl->setEnabled(true);
    FillFromAdapter();
    obtainAutomatically = false;
}

void CIPSettings::FillFromAdapter() {
    // Against the address the caller gave, not what the user has typed since.
    const AdapterSuggestion suggestion = SuggestMaskAndGateway(address);
    maskCtrl->SetAddress(suggestion.mask);
    gatewayCtrl->SetAddress(suggestion.gateway);
}

void CIPSettings::OnOK() {
    DoDataExchange(true);
    accept();
}
