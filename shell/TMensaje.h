#pragma once
// The notice window: a small tool window captioned "Atención", without system
// buttons, centred on the screen, that shows one short text in blue while the
// agent is busy (for example "Finalizando. Aguarde un momento ..." while the
// communication thread finishes its cycle).
//
// Contract:
// - ShowNotice(owner, text) closes the current notice if there is one, opens a
//   new one with the text, shows it without blocking and lets the event loop
//   paint it once. The owner may be null (owned by the application).
// - HideNotice() closes and frees the current notice; nothing when none.
// - Current() is the notice on screen, or null.
//
// Thread safety: user-interface thread only.

#include <QLabel>
#include <QPointer>
#include <QWidget>

class TMensaje : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 217;  // inner size of the window
    static constexpr int kHeight = 87;

    static TMensaje* ShowNotice(QWidget* owner, const QString& text);
    static void HideNotice();
    static TMensaje* Current();

    QString Text() const;

private:
    explicit TMensaje(QWidget* owner);

    QLabel* m_texto;

    static QPointer<TMensaje> s_current;
};
