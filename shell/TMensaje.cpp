#include "shell/TMensaje.h"

#include <QApplication>
#include <QFrame>
#include <QScreen>
#include <QVBoxLayout>

QPointer<TMensaje> TMensaje::s_current;

TMensaje::TMensaje(QWidget* owner)
    : QWidget(owner, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("Mensaje");
    setWindowTitle(tr("Atención"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFixedSize(kWidth, kHeight);

    auto* panel = new QFrame(this);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);

    m_texto = new QLabel(panel);
    m_texto->setObjectName("Texto");
    m_texto->setAlignment(Qt::AlignCenter);
    m_texto->setWordWrap(true);
    m_texto->setFixedSize(197, 44);
    QPalette blue = m_texto->palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    m_texto->setPalette(blue);

    auto* inner = new QVBoxLayout(panel);
    inner->addWidget(m_texto, 0, Qt::AlignCenter);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(4, 4, 4, 4);
    outer->addWidget(panel);
}

TMensaje* TMensaje::ShowNotice(QWidget* owner, const QString& text) {
    HideNotice();
    auto* notice = new TMensaje(owner);
    notice->m_texto->setText(text);
    notice->show();
    // Centred once shown, when the size of the window frame is known.
    if (QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen()) {
        QRect frame = notice->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        notice->move(frame.topLeft());
    }
    notice->m_texto->repaint();
    // Painted now, not when the caller next returns to the event loop: the
    // caller is about to wait. User input waits until the caller is done.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    s_current = notice;
    return notice;
}

void TMensaje::HideNotice() {
    if (!s_current)
        return;
    TMensaje* notice = s_current;
    s_current = nullptr;
    notice->close();
    delete notice;
}

TMensaje* TMensaje::Current() {
    return s_current;
}

QString TMensaje::Text() const {
    return m_texto->text();
}
