#pragma once
// The about box "About": the agent's picture, the product name with the
// version text ("Agente de Kelvor 07.30.0400"), "Sistema de control de
// accesos", the maker and the legal notice, and an OK button.
//
// Contract: the product name is set each time the box is shown (OnFormShow)
// from the version text given at construction (TVersionInfo::VersionText() in
// the agent).
//
// Thread safety: user-interface thread only.

#include <QDialog>

class QLabel;

class TAboutBox : public QDialog {
    Q_OBJECT

public:
    explicit TAboutBox(const QString& versionText, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void OnFormShow();

    QString m_versionText;
    QLabel* m_productName;
};
