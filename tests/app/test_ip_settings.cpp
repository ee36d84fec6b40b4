// The IP address settings dialog, its address controls and the options dialog.
#include "app/ip_addr_ctrl.h"
#include "app/ip_settings.h"
#include "app/options_dlg.h"
#include "app_test_support.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>

#include <initializer_list>
#include <vector>

namespace {

constexpr uint32_t Ip(int a, int b, int c, int d) {
    return (uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | uint32_t(d);
}

uint32_t Read(const CIPAddressCtrl* ctrl) {
    uint32_t value = 0;
    ctrl->GetAddress(value);
    return value;
}

TEST(IPSettingsDialog, ObtainAutomaticallyDisablesAndBlanksThenManualFillsFromAdapter) {
    ScopedAdapterTable adapters(TestAdapterTable());
    CIPSettings dlg;
    dlg.cameraName = "Cam One";
    dlg.address = Ip(192, 168, 0, 77);
    dlg.netmask = Ip(255, 255, 0, 0);
    dlg.gatewayAddress = Ip(192, 168, 9, 9);
    dlg.obtainAutomatically = true;
    EXPECT_TRUE(dlg.OnInitDialog());

    EXPECT_EQ(dlg.NameEdit()->text(), "Cam One");
    EXPECT_TRUE(dlg.AutoRadio()->isChecked());
    EXPECT_FALSE(dlg.ManualRadio()->isChecked());
    EXPECT_FALSE(dlg.AddressCtrl()->isEnabled());
    EXPECT_FALSE(dlg.MaskCtrl()->isEnabled());
    EXPECT_FALSE(dlg.GatewayCtrl()->isEnabled());
    EXPECT_TRUE(dlg.MaskCtrl()->IsBlank());
    EXPECT_TRUE(dlg.GatewayCtrl()->IsBlank());
    EXPECT_EQ(Read(dlg.AddressCtrl()), Ip(192, 168, 0, 77));

    dlg.ManualRadio()->click();
    EXPECT_FALSE(dlg.obtainAutomatically);
    EXPECT_TRUE(dlg.AddressCtrl()->isEnabled());
    EXPECT_TRUE(dlg.MaskCtrl()->isEnabled());
    EXPECT_TRUE(dlg.GatewayCtrl()->isEnabled());
    EXPECT_EQ(Read(dlg.MaskCtrl()), Ip(255, 255, 255, 0));
    EXPECT_EQ(Read(dlg.GatewayCtrl()), Ip(192, 168, 0, 1));

    // Back to DHCP: the controls are disabled, their contents stay.
    dlg.AutoRadio()->click();
    EXPECT_TRUE(dlg.obtainAutomatically);
    EXPECT_FALSE(dlg.MaskCtrl()->isEnabled());
    EXPECT_EQ(Read(dlg.MaskCtrl()), Ip(255, 255, 255, 0));
}

TEST(IPSettingsDialog, AutomaticNotAllowedKeepsOnlyTheNetworkAndPutsCaretInFourthField) {
    ScopedAdapterTable adapters(TestAdapterTable());
    CIPSettings dlg;
    dlg.address = Ip(169, 254, 3, 4);
    dlg.netmask = Ip(255, 255, 0, 0);
    dlg.automaticAllowed = false;
    EXPECT_FALSE(dlg.OnInitDialog());  // the dialog set the focus itself

    EXPECT_FALSE(dlg.AutoRadio()->isEnabled());
    EXPECT_TRUE(dlg.ManualRadio()->isChecked());
    EXPECT_EQ(Read(dlg.AddressCtrl()), Ip(169, 254, 0, 0));
    EXPECT_EQ(dlg.AddressCtrl()->CaretField(), 3);
    EXPECT_EQ(Read(dlg.MaskCtrl()), Ip(255, 255, 0, 0));
}

TEST(IPSettingsDialog, AutomaticNotAllowedMasksEachOctetByTheMask) {
    CIPSettings dlg;
    dlg.address = Ip(192, 168, 5, 7);
    dlg.netmask = Ip(255, 255, 255, 0);
    dlg.automaticAllowed = false;
    dlg.OnInitDialog();
    EXPECT_EQ(Read(dlg.AddressCtrl()), Ip(192, 168, 5, 0));

    CIPSettings odd;  // the first octet stays even under a zero mask octet
    odd.address = Ip(10, 20, 30, 40);
    odd.netmask = Ip(0, 255, 0, 255);
    odd.automaticAllowed = false;
    odd.OnInitDialog();
    EXPECT_EQ(Read(odd.AddressCtrl()), Ip(10, 20, 0, 40));
}

TEST(IPSettingsDialog, SettingsUnknownStartsWithMaskAndGatewayBlank) {
    CIPSettings dlg;
    dlg.address = Ip(192, 168, 0, 50);
    dlg.netmask = Ip(255, 255, 255, 0);
    dlg.gatewayAddress = Ip(192, 168, 0, 1);
    dlg.settingsKnown = false;
    dlg.OnInitDialog();
    EXPECT_TRUE(dlg.ManualRadio()->isChecked());
    EXPECT_TRUE(dlg.MaskCtrl()->IsBlank());
    EXPECT_TRUE(dlg.GatewayCtrl()->IsBlank());
    EXPECT_EQ(Read(dlg.AddressCtrl()), Ip(192, 168, 0, 50));
}

TEST(IPSettingsDialog, NoMatchingAdapterSuggestsClassCMaskAndNoGateway) {
    for (const auto& table : {std::optional<AdapterTable>(TestAdapterTable()), std::optional<AdapterTable>()}) {
        ScopedAdapterTable adapters(table);
        CIPSettings dlg;
        dlg.address = Ip(172, 16, 4, 4);
        dlg.netmask = Ip(255, 0, 0, 0);
        dlg.gatewayAddress = Ip(172, 16, 0, 1);
        dlg.OnInitDialog();
        dlg.ManualRadio()->click();
        EXPECT_EQ(Read(dlg.MaskCtrl()), Ip(255, 255, 255, 0));
        EXPECT_EQ(Read(dlg.GatewayCtrl()), 0u);
        EXPECT_FALSE(dlg.GatewayCtrl()->IsBlank());
    }
}

TEST(IPSettingsDialog, FillFromAdapterUsesTheCallersAddressAndTheLastMatch) {
    AdapterTable table = TestAdapterTable();
    table.push_back({7, "0.0.0.0", "0.0.0.0", "0.0.0.0", "down0"});  // no address: not a network
    table.push_back({9, "192.168.0.200", "255.255.255.128", "192.168.0.129", "lab9"});
    table.push_back({11, "192.168.0.20", "255.255.255.0", "192.168.0.254", "lab11"});
    ScopedAdapterTable adapters(table);
    CIPSettings dlg;
    dlg.address = Ip(192, 168, 0, 30);
    dlg.OnInitDialog();
    dlg.AddressCtrl()->SetAddress(Ip(10, 1, 2, 3));  // what the user typed does not count
    dlg.FillFromAdapter();
    EXPECT_EQ(Read(dlg.MaskCtrl()), Ip(255, 255, 255, 0));
    EXPECT_EQ(Read(dlg.GatewayCtrl()), Ip(192, 168, 0, 254));
}

TEST(IPSettingsDialog, OkWithDhcpStillReturnsTheFields) {
    ScopedAdapterTable adapters(TestAdapterTable());
    CIPSettings dlg;
    dlg.address = Ip(192, 168, 0, 44);
    dlg.netmask = Ip(255, 255, 255, 0);
    dlg.gatewayAddress = Ip(192, 168, 0, 1);
    dlg.obtainAutomatically = true;
    dlg.OnInitDialog();
    dlg.OnOK();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_TRUE(dlg.obtainAutomatically);
    EXPECT_EQ(dlg.address, Ip(192, 168, 0, 44));
    EXPECT_EQ(dlg.netmask, 0u);  // cleared at the start, blank reads as 0
    EXPECT_EQ(dlg.gatewayAddress, 0u);

    CIPSettings toggled;
    toggled.address = Ip(192, 168, 0, 44);
    toggled.obtainAutomatically = true;
    toggled.OnInitDialog();
    toggled.ManualRadio()->click();
    toggled.AutoRadio()->click();
    toggled.OnOK();
    EXPECT_TRUE(toggled.obtainAutomatically);
    EXPECT_EQ(toggled.netmask, Ip(255, 255, 255, 0));
    EXPECT_EQ(toggled.gatewayAddress, Ip(192, 168, 0, 1));
}

TEST(IPSettingsDialog, OkReadsWhatTheUserTyped) {
    CIPSettings dlg;
    dlg.address = Ip(192, 168, 0, 44);
    dlg.OnInitDialog();
    dlg.AddressCtrl()->ClearAddress();
    QTest::keyClicks(dlg.AddressCtrl()->Field(0), "10");
    QTest::keyClicks(dlg.AddressCtrl()->Field(3), "9");  // fields 1 and 2 blank
    dlg.OnOK();
    EXPECT_EQ(dlg.address, Ip(10, 0, 0, 9));
}

TEST(IPAddressCtrl, TypingMovesOnAfterThreeDigitsOrADotAndClampsTo255) {
    CMyIPAddrCtrl ctrl;
    ctrl.resize(160, 24);
    ctrl.show();
    QTest::keyClicks(ctrl.Field(0), "192");
    EXPECT_EQ(ctrl.FieldText(0), "192");
    EXPECT_EQ(ctrl.CaretField(), 1);
    QTest::keyClicks(ctrl.Field(1), "1.");
    EXPECT_EQ(ctrl.FieldText(1), "1");
    EXPECT_EQ(ctrl.CaretField(), 2);
    QTest::keyClicks(ctrl.Field(2), "999");
    EXPECT_EQ(ctrl.FieldText(2), "255");
    QTest::keyClicks(ctrl.Field(3), "x7");  // not a digit: refused
    EXPECT_EQ(ctrl.FieldText(3), "7");
    uint32_t value = 0;
    EXPECT_EQ(ctrl.GetAddress(value), 4);
    EXPECT_EQ(value, Ip(192, 1, 255, 7));

    // Backspace at the start of a field goes back to the previous one.
    ctrl.Field(3)->setCursorPosition(0);
    QTest::keyClick(ctrl.Field(3), Qt::Key_Backspace);
    EXPECT_EQ(ctrl.CaretField(), 2);
}

TEST(IPAddressCtrl, ArrowKeysCrossFieldsOnlyAtTheirEdges) {
    CIPAddressCtrl ctrl;
    ctrl.resize(160, 24);
    ctrl.show();
    ctrl.SetAddress(Ip(10, 20, 30, 40));

    // Left at the start of a field: the end of the previous one.
    ctrl.Field(2)->setCursorPosition(0);
    QTest::keyClick(ctrl.Field(2), Qt::Key_Left);
    EXPECT_EQ(ctrl.CaretField(), 1);
    EXPECT_EQ(ctrl.Field(1)->cursorPosition(), 2);
    // Right at the end of a field: the start of the next one.
    QTest::keyClick(ctrl.Field(1), Qt::Key_Right);
    EXPECT_EQ(ctrl.CaretField(), 2);
    EXPECT_EQ(ctrl.Field(2)->cursorPosition(), 0);
    // Inside a field the arrows move the caret there, and nothing leaves the
    // first or the last field.
    QTest::keyClick(ctrl.Field(2), Qt::Key_Right);
    EXPECT_EQ(ctrl.CaretField(), 2);
    EXPECT_EQ(ctrl.Field(2)->cursorPosition(), 1);
    ctrl.Field(0)->setCursorPosition(0);
    QTest::keyClick(ctrl.Field(0), Qt::Key_Left);
    EXPECT_EQ(ctrl.Field(0)->cursorPosition(), 0);
    ctrl.Field(3)->setCursorPosition(2);
    QTest::keyClick(ctrl.Field(3), Qt::Key_Right);
    EXPECT_EQ(ctrl.Field(3)->cursorPosition(), 2);
    EXPECT_EQ(Read(&ctrl), Ip(10, 20, 30, 40));
}

TEST(IPSettingsDialog, TabGoesThroughEveryAddressFieldInOrder) {
    CIPSettings dlg;
    std::vector<QWidget*> expected{dlg.AutoRadio(), dlg.ManualRadio()};
    for (const CIPAddressCtrl* ctrl : std::initializer_list<const CIPAddressCtrl*>{dlg.AddressCtrl(), dlg.MaskCtrl(), dlg.GatewayCtrl()})
        for (int i = 0; i < 4; ++i) expected.push_back(ctrl->Field(i));
    // The next widget that Tab stops at.
    const auto next = [](QWidget* widget) {
        do widget = widget->nextInFocusChain();
        while (widget && !(widget->focusPolicy() & Qt::TabFocus));
        return widget;
    };
    for (size_t i = 0; i + 1 < expected.size(); ++i) EXPECT_EQ(next(expected[i]), expected[i + 1]) << i;
    QWidget* afterGateway = next(expected.back());
    ASSERT_NE(afterGateway, nullptr);
    EXPECT_EQ(afterGateway->property("text").toString(), "OK");
    EXPECT_EQ(next(afterGateway)->property("text").toString(), "Cancel");
}

TEST(IPAddressCtrl, BlankFieldsReadAsZeroAndClearEmptiesAll) {
    CIPAddressCtrl ctrl;
    EXPECT_TRUE(ctrl.IsBlank());
    uint32_t value = 1;
    EXPECT_EQ(ctrl.GetAddress(value), 0);
    EXPECT_EQ(value, 0u);
    ctrl.SetAddress(Ip(1, 2, 3, 4));
    EXPECT_FALSE(ctrl.IsBlank());
    ctrl.Field(1)->clear();
    EXPECT_EQ(ctrl.GetAddress(value), 3);
    EXPECT_EQ(value, Ip(1, 0, 3, 4));
    ctrl.ClearAddress();
    EXPECT_TRUE(ctrl.IsBlank());
}

TEST(IPAddressCtrl, OnlyTheDialogsAddressControlKeepsTheWindowColourWhenDisabled) {
    QWidget parent;
    QPalette pal = parent.palette();
    pal.setColor(QPalette::Active, QPalette::Base, Qt::white);
    pal.setColor(QPalette::Inactive, QPalette::Base, Qt::white);
    pal.setColor(QPalette::Disabled, QPalette::Base, QColor(200, 200, 200));
    parent.setPalette(pal);
    auto* mine = new CMyIPAddrCtrl(&parent);
    auto* plain = new CIPAddressCtrl(&parent);
    mine->setEnabled(false);
    plain->setEnabled(false);
    EXPECT_EQ(mine->Field(0)->palette().color(QPalette::Disabled, QPalette::Base), QColor(Qt::white));
    EXPECT_EQ(plain->Field(0)->palette().color(QPalette::Disabled, QPalette::Base), QColor(200, 200, 200));
}

TEST(OptionsDialog, OffersEnglishOnlyAndAlwaysOpensWithIt) {
    Options dlg;
    ASSERT_EQ(dlg.languageCombo->count(), 1);
    EXPECT_EQ(dlg.languageCombo->itemText(0), "English");
    dlg.languageCombo->setCurrentIndex(-1);
    dlg.OnInitDialog();
    EXPECT_EQ(dlg.languageCombo->currentIndex(), 0);
    EXPECT_EQ(dlg.windowTitle(), "Options");
}

}  // namespace
