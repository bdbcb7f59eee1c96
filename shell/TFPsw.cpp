#include "shell/TFPsw.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TFPsw::TFPsw(PasswordCheck isAdministrator, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_isAdministrator(std::move(isAdministrator)) {
    setObjectName("FPsw");
    setWindowTitle(tr("Confirmación..."));

    auto* label = new QLabel(tr("Clave de Administrador"), this);
    m_txtPsw = new QLineEdit(this);
    m_txtPsw->setObjectName("TxtPsw");
    m_txtPsw->setEchoMode(QLineEdit::Password);
    m_txtPsw->setStyleSheet("QLineEdit { lineedit-password-character: 42; }");  // '*'
    label->setBuddy(m_txtPsw);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_bitBtn1 = buttons->button(QDialogButtonBox::Ok);
    m_bitBtn1->setObjectName("BitBtn1");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("Cancel");
    connect(buttons, &QDialogButtonBox::accepted, this, &TFPsw::BitBtn1Click);
    connect(buttons, &QDialogButtonBox::rejected, this, &TFPsw::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(m_txtPsw);
    layout->addWidget(buttons);
}

void TFPsw::showEvent(QShowEvent* event) {
    m_accepted = false;
    m_txtPsw->clear();
    m_txtPsw->setFocus();
    QDialog::showEvent(event);
}

void TFPsw::BitBtn1Click() {
    m_accepted = false;
    try {
        m_accepted = m_isAdministrator(m_txtPsw->text());
    } catch (...) {
        accept();  // closes with OK but not accepted: the guarded action is not done
        throw;
    }
    accept();
}
