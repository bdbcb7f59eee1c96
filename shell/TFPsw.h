#pragma once
// The administrator password dialog "Confirmación...": guards the options and
// the closing of the agent when the "PSW" setting is on.
//
// Contract:
// - Each show starts with an empty, masked edit ("*" per character).
// - OK (BitBtn1) sets Accepted() to false, asks the check whether the typed
//   text is an administrator's password (in the agent: TDM::IsAdministrator,
//   where the last matching user decides), sets Accepted() to its answer and
//   closes with QDialog::Accepted. When the check throws (a database error),
//   the dialog still closes with OK, Accepted() stays false and the exception
//   travels on to the caller of the click, so the guarded action is not done.
// - Cancel closes with QDialog::Rejected; Accepted() is false then too.
// - The caller goes on only when exec() gives Accepted and Accepted() is true.
//
// Thread safety: user-interface thread only; the check runs on it.

#include <QDialog>
#include <functional>

class QLineEdit;
class QPushButton;

class TFPsw : public QDialog {
    Q_OBJECT

public:
    using PasswordCheck = std::function<bool(const QString& password)>;

    explicit TFPsw(PasswordCheck isAdministrator, QWidget* parent = nullptr);

    bool Accepted() const { return m_accepted; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BitBtn1Click();

    PasswordCheck m_isAdministrator;
    bool m_accepted = false;
    QLineEdit* m_txtPsw;
    QPushButton* m_bitBtn1;
};
