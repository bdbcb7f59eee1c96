#include "shell/TDlgConfig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QShowEvent>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QValidator>

#include "shell/Errors.h"
#include "shell/TConfig.h"

namespace {

QSpinBox* SpinEdit(const char* name, int low, int high, QWidget* parent) {
    auto* spin = new QSpinBox(parent);
    spin->setObjectName(name);
    spin->setRange(low, high);
    return spin;
}

QCheckBox* CheckBox(const char* name, const QString& caption, QWidget* parent) {
    auto* check = new QCheckBox(caption, parent);
    check->setObjectName(name);
    return check;
}

// The station field's limits while it shows a stored number the mask cannot
// hold: that text as it is, or at most two digits. Anything else, a partial
// edit of the stored number included, is refused as it is typed.
class StationValidator : public QValidator {
public:
    using QValidator::QValidator;
    QString stored;

    State validate(QString& input, int&) const override {
        static const QRegularExpression digits(QRegularExpression::anchoredPattern("[0-9]{0,2}"));
        return input == stored || digits.match(input).hasMatch() ? Acceptable : Invalid;
    }
};

}  // namespace

const QStringList& TDlgConfig::PriorityNames() {
    static const QStringList names = {"En reposo", "Muy baja", "Baja",   "Normal",
                                      "Alta",      "Muy alta", "Crítica"};
    return names;
}

TDlgConfig::TDlgConfig(TConfig& config, QWidget* parent) : QDialog(parent), m_config(config) {
    setObjectName("DlgConfig");
    setWindowTitle(tr("Opciones de configuración"));

    m_edEstacion = new QLineEdit(this);
    m_edEstacion->setObjectName("EdEstacion");
    m_stationDigits = new StationValidator(m_edEstacion);
    // The field has its limits before the first showing too.
    m_edEstacion->setInputMask(kStationMask);
    m_spDifHora = SpinEdit("SpDifHora", 1, 1000, this);
    m_edKelvor1Compat = CheckBox("edKelvor1Compat", tr("Kelvor I"), this);
    m_chkAHora = CheckBox("ChkAHora", tr("Actualizar Automáticamente la hora"), this);
    m_chkIV = CheckBox("ChkIV", tr("Visitas: Inhabilitar al salir"), this);
    m_edComandos = SpinEdit("EdComandos", 1, 50, this);
    m_edFilas = SpinEdit("EdFilas", 10, 1000, this);
    m_cboPrioridad = new QComboBox(this);
    m_cboPrioridad->setObjectName("CboPrioridad");
    m_cboPrioridad->setEditable(false);
    m_cboPrioridad->addItems(PriorityNames());
    m_chkPsw = CheckBox("ChkPsw", tr("Verificar con Password"), this);

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &TDlgConfig::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &TDlgConfig::reject);

    auto* form = new QFormLayout;
    form->addRow(tr("Estación"), m_edEstacion);
    form->addRow(tr("Dif PC-Reloj(min)"), m_spDifHora);
    form->addRow(m_edKelvor1Compat);
    form->addRow(m_chkAHora);
    form->addRow(m_chkIV);
    form->addRow(tr("Comandos"), m_edComandos);
    form->addRow(tr("Filas"), m_edFilas);
    form->addRow(tr("Prioridad"), m_cboPrioridad);
    form->addRow(m_chkPsw);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_buttons);

    QWidget* order[] = {m_edEstacion,
                        m_spDifHora,
                        m_edKelvor1Compat,
                        m_chkAHora,
                        m_chkIV,
                        m_edComandos,
                        m_edFilas,
                        m_cboPrioridad,
                        m_chkPsw,
                        m_buttons->button(QDialogButtonBox::Ok),
                        m_buttons->button(QDialogButtonBox::Cancel)};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}

void TDlgConfig::showEvent(QShowEvent* event) {
    // A spontaneous show comes from the window system (a minimized dialog
    // restored): the operator's unconfirmed edits stay. Only an opening of
    // the dialog starts again from the settings.
    if (!event->spontaneous()) {
        FormShow();
        m_edEstacion->setFocus();
    }
    QDialog::showEvent(event);
}

void TDlgConfig::FormShow() {
    if (m_config.Prioridad > 6)
        m_config.Prioridad = 6;
    // A negative stored priority matches no entry: the list shows none and OK
    // keeps the stored value unless the operator picks one.
    m_cboPrioridad->setCurrentIndex(m_config.Prioridad >= 0 ? m_config.Prioridad : -1);
    m_edComandos->setValue(m_config.Comandos);
    ShowStation();
    m_edFilas->setValue(m_config.Filas);
    m_edKelvor1Compat->setChecked(m_config.Kelvor1Compat);
    m_spDifHora->setValue(m_config.DifHora);
    m_chkAHora->setChecked(m_config.ActHora);
    m_chkIV->setChecked(m_config.IV);
    m_chkPsw->setChecked(m_config.PSW);
}

bool TDlgConfig::StationFits(qint32 station) {
    return station >= 0 && station <= 99;
}

void TDlgConfig::ShowStation() {
    if (StationFits(m_config.Estacion)) {
        // Qt's mask character '0' is a digit the operator may leave out.
        m_edEstacion->setValidator(nullptr);
        m_edEstacion->setInputMask(kStationMask);
    } else {
        // A mask would cut the stored number to two characters, and OK would
        // then save the cut value. Without the mask the number shows whole;
        // the operator replaces it (select and type) with one or two digits.
        m_edEstacion->setInputMask(QString());
        static_cast<StationValidator*>(m_stationDigits)->stored =
            QString::number(m_config.Estacion);
        m_edEstacion->setValidator(m_stationDigits);
    }
    m_edEstacion->setText(QString::number(m_config.Estacion));
    m_edEstacion->setModified(false);
}

void TDlgConfig::FormClose() {
    if (m_cboPrioridad->currentIndex() >= 0)
        m_config.Prioridad = m_cboPrioridad->currentIndex();
    m_config.Kelvor1Compat = m_edKelvor1Compat->isChecked();
    m_config.Comandos = m_edComandos->value();
    // A stored station the field cannot take (see ShowStation) stays as it is
    // unless the operator edited the field.
    if (m_edEstacion->isModified() || StationFits(m_config.Estacion)) {
        const QString station = m_edEstacion->text().trimmed();
        bool ok = false;
        const qint32 estacion = station.toInt(&ok, 10);
        if (!ok)
            throw EConvertError(QString("'%1' no es un valor entero válido").arg(station));
        m_config.Estacion = estacion;
    }
    m_config.Filas = m_edFilas->value();
    m_config.DifHora = m_spDifHora->value();
    m_config.ActHora = m_chkAHora->isChecked();
    m_config.IV = m_chkIV->isChecked();
    m_config.PSW = m_chkPsw->isChecked();
}

void TDlgConfig::accept() {
    FormClose();  // throws before the dialog closes: it stays open
    QDialog::accept();
}
