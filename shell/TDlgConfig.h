#pragma once
// The options dialog "Opciones de configuración": edits the settings that the
// operator may change, in a TConfig that the dialog works on (the shared
// Config() in the agent).
//
// Contract:
// - On every opening (FormShow; not when a minimized dialog is restored,
//   which keeps the unconfirmed edits) a "Prioridad" above 6 is lowered to 6 in the
//   settings themselves, whatever the dialog's result; then the controls are
//   filled from the settings.
// - OK (accept) takes the values back (FormClose) in this order: Prioridad,
//   Kelvor1Compat, Comandos, Estacion, Filas, DifHora, ActHora, IV, PSW, then
//   closes with QDialog::Accepted. The caller saves the settings.
// - An empty station field throws EConvertError out of accept() after
//   Prioridad, Kelvor1Compat and Comandos have been taken; the dialog stays
//   open and the remaining settings keep their values. In the agent the
//   exception reaches the application's general error handling.
// - "Estacion": one or two optional digits (mask "00"). A stored station
//   outside 0..99 is shown whole, without the mask, and kept as stored on OK
//   unless the operator edits the field; an edit takes the stored text or at
//   most two digits (the operator selects the number and types a new one).
// - Cancel changes nothing (apart from the priority correction above).
// - Settings without a control (LogFileActivado, LogFileAppend, Retrys,
//   TimeOut, Espera, the master keys) are never touched.
//
// Thread safety: user-interface thread only.

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLineEdit;
class QSpinBox;
class QValidator;
class TConfig;

class TDlgConfig : public QDialog {
    Q_OBJECT

public:
    explicit TDlgConfig(TConfig& config, QWidget* parent = nullptr);

    // Entries of the priority list, index = setting.
    static const QStringList& PriorityNames();
    // The station field's mask: two digits, both optional.
    static constexpr const char* kStationMask = "00";

    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    void FormClose();
    void ShowStation();
    static bool StationFits(qint32 station);

    TConfig& m_config;
    QLineEdit* m_edEstacion;
    QValidator* m_stationDigits;  // the field's limits while it has no mask
    QSpinBox* m_spDifHora;
    QCheckBox* m_edKelvor1Compat;
    QCheckBox* m_chkAHora;
    QCheckBox* m_chkIV;
    QSpinBox* m_edComandos;
    QSpinBox* m_edFilas;
    QComboBox* m_cboPrioridad;
    QCheckBox* m_chkPsw;
    QDialogButtonBox* m_buttons;
};
