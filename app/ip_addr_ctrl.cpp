#include "app/ip_addr_ctrl.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

#include <algorithm>

CIPAddressCtrl::CIPAddressCtrl(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    setFocusPolicy(Qt::NoFocus);
    auto* validator = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this);
    for (int i = 0; i < 4; ++i) {
        auto* field = new QLineEdit(this);
        field->setFrame(false);
        field->setAlignment(Qt::AlignCenter);
        field->setValidator(validator);
        field->setMaxLength(3);
        field->setAutoFillBackground(true);
        field->setObjectName(QStringLiteral("field%1").arg(i));
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this, [this, i] { OnFieldEdited(i); });
        connect(field, &QLineEdit::editingFinished, this, [this, i] { ClampField(i); });
        fields[static_cast<size_t>(i)] = field;
        if (i < 3) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            dots[static_cast<size_t>(i)] = dot;
        }
    }
    setFocusProxy(fields[0]);
    ApplyColours();
}

void CIPAddressCtrl::SetAddress(uint32_t address) {
    for (int i = 0; i < 4; ++i)
        fields[static_cast<size_t>(i)]->setText(QString::number((address >> (8 * (3 - i))) & 0xFF));
}

int CIPAddressCtrl::GetAddress(uint32_t& address) const {
    address = 0;
    int nonBlank = 0;
    for (int i = 0; i < 4; ++i) {
        const QString text = fields[static_cast<size_t>(i)]->text();
        uint32_t octet = 0;
        if (!text.isEmpty()) {
            ++nonBlank;
            octet = std::min(text.toUInt(), 255u);
        }
        address |= octet << (8 * (3 - i));
    }
    return nonBlank;
}

void CIPAddressCtrl::ClearAddress() {
    for (auto* field : fields) field->clear();
}

bool CIPAddressCtrl::IsBlank() const {
    for (auto* field : fields)
        if (!field->text().isEmpty()) return false;
    return true;
}

void CIPAddressCtrl::SetFieldFocus(int field) {
    if (field < 0 || field > 3) return;
    caretField = field;
    QLineEdit* edit = fields[static_cast<size_t>(field)];
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
}

void CIPAddressCtrl::MoveCaret(int field, bool toEnd) {
    QLineEdit* edit = fields[static_cast<size_t>(field)];
    caretField = field;
    edit->setFocus(Qt::OtherFocusReason);
    if (toEnd)
        edit->end(false);
    else
        edit->home(false);
}

QString CIPAddressCtrl::FieldText(int field) const {
    if (field < 0 || field > 3) return {};
    return fields[static_cast<size_t>(field)]->text();
}

void CIPAddressCtrl::OnFieldEdited(int field) {
    QLineEdit* edit = fields[static_cast<size_t>(field)];
    if (edit->text().size() == 3) {
        ClampField(field);
        if (field < 3) SetFieldFocus(field + 1);
    }
    emit AddressEdited();
}

void CIPAddressCtrl::ClampField(int field) {
    QLineEdit* edit = fields[static_cast<size_t>(field)];
    if (!edit->text().isEmpty() && edit->text().toUInt() > 255) edit->setText(QStringLiteral("255"));
}

int CIPAddressCtrl::IndexOf(QObject* watched) const {
    for (int i = 0; i < 4; ++i)
        if (fields[static_cast<size_t>(i)] == watched) return i;
    return -1;
}

bool CIPAddressCtrl::eventFilter(QObject* watched, QEvent* event) {
    const int i = IndexOf(watched);
    if (i < 0) return QFrame::eventFilter(watched, event);
    if (event->type() == QEvent::FocusIn) {
        caretField = i;
    } else if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        QLineEdit* edit = fields[static_cast<size_t>(i)];
        const QString typed = key->text();
        if (typed == QLatin1String(".") || typed == QLatin1String(" ")) {
            if (!edit->text().isEmpty() && !edit->hasSelectedText() && i < 3) {
                ClampField(i);
                SetFieldFocus(i + 1);
            }
            return true;
        }
        switch (key->key()) {
        case Qt::Key_Backspace:  // at the start of a field: to the end of the previous one
        case Qt::Key_Left:
            if (i > 0 && edit->cursorPosition() == 0 && !edit->hasSelectedText()) {
                MoveCaret(i - 1, true);
                return true;
            }
            break;
        case Qt::Key_Right:
            if (i < 3 && edit->cursorPosition() == edit->text().size() && !edit->hasSelectedText()) {
                MoveCaret(i + 1, false);
                return true;
            }
            break;
        default:
            break;
        }
    }
    return QFrame::eventFilter(watched, event);
}

void CIPAddressCtrl::changeEvent(QEvent* event) {
    QFrame::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::EnabledChange ||
        event->type() == QEvent::StyleChange)
        ApplyColours();
}

void CIPAddressCtrl::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    if (fields[3]) LayoutFields();
}

void CIPAddressCtrl::LayoutFields() {
    const QRect inner = contentsRect();
    const int dotWidth = std::max(4, fontMetrics().horizontalAdvance(QLatin1Char('.')) + 2);
    const int fieldWidth = std::max(1, (inner.width() - 3 * dotWidth) / 4);
    int x = inner.left();
    for (int i = 0; i < 4; ++i) {
        fields[static_cast<size_t>(i)]->setGeometry(x, inner.top(), fieldWidth, inner.height());
        x += fieldWidth;
        if (i < 3) {
            dots[static_cast<size_t>(i)]->setGeometry(x, inner.top(), dotWidth, inner.height());
            x += dotWidth;
        }
    }
}

void CIPAddressCtrl::ApplyColours() {
    // The plain control: fields and dots follow the palette of their state.
    if (applyingColours || !fields[3]) return;  // not before the fields exist
    applyingColours = true;
    for (auto* field : fields) field->setBackgroundRole(QPalette::Base);
    applyingColours = false;
}

CMyIPAddrCtrl::CMyIPAddrCtrl(QWidget* parent) : CIPAddressCtrl(parent) { ApplyColours(); }

void CMyIPAddrCtrl::ApplyColours() {
    if (applyingColours || !fields[3]) return;  // not before the fields exist
    applyingColours = true;
    // The window colour of the active state, also for the disabled and inactive states.
    QPalette pal = palette();
    const QColor window = pal.color(QPalette::Active, QPalette::Base);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::Base, window);
        pal.setColor(group, QPalette::Window, window);
    }
    setPalette(pal);
    for (auto* field : fields) field->setPalette(pal);
    for (auto* dot : dots)
        if (dot) dot->setPalette(pal);
    applyingColours = false;
}
