#include "shell/TAboutBox.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>

#include "shell/RowPictures.h"

TAboutBox::TAboutBox(const QString& versionText, QWidget* parent)
    : QDialog(parent), m_versionText(versionText) {
    setObjectName("AboutBox");
    setWindowTitle(tr("About"));

    auto* programIcon = new QLabel(this);
    programIcon->setObjectName("ProgramIcon");
    programIcon->setPixmap(RowPictures::AgentIcon().pixmap(64, 64));

    m_productName = new QLabel(this);
    m_productName->setObjectName("ProductName");
    QFont bold = m_productName->font();
    bold.setBold(true);
    m_productName->setFont(bold);

    auto* version = new QLabel(tr("Sistema de control de accesos"), this);
    version->setObjectName("Version");
    auto* copyright = new QLabel(tr("Dalmor"), this);
    copyright->setObjectName("Copyright");
    auto* comments = new QLabel(tr("Todos los derechos reservados."), this);
    comments->setObjectName("Comments");

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &TAboutBox::accept);

    auto* layout = new QGridLayout(this);
    layout->addWidget(programIcon, 0, 0, 4, 1, Qt::AlignTop);
    layout->addWidget(m_productName, 0, 1);
    layout->addWidget(version, 1, 1);
    layout->addWidget(copyright, 2, 1);
    layout->addWidget(comments, 3, 1);
    layout->addWidget(buttons, 4, 0, 1, 2);
    layout->setColumnMinimumWidth(1, 220);
}

void TAboutBox::showEvent(QShowEvent* event) {
    OnFormShow();
    QDialog::showEvent(event);
}

void TAboutBox::OnFormShow() {
    m_productName->setText("Agente de Kelvor " + m_versionText);
}
