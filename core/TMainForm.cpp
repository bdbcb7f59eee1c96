#include "core/TMainForm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstdio>

#include "core/AgentApplication.h"
#include "core/AgentServices.h"
#include "core/ReaderStatus.h"
#include "core/SingleInstance.h"
#include "core/TComunicationThread.h"
#include "shell/RegistryFile.h"
#include "shell/RowPictures.h"
#include "shell/TAboutBox.h"
#include "shell/TConfig.h"
#include "shell/TDlgConfig.h"
#include "shell/TMensaje.h"
#include "shell/TWinTaskbar.h"
#include "shell/TextLimits.h"
#include "shell/TimeText.h"

namespace {

const QString kMain = QStringLiteral("Main");
const QString kTitle = QStringLiteral("Agente de Kelvor II");

enum Column { kPictures = 0, kFechaHora, kRegistrador, kMensaje, kEstado, kColumnCount };
constexpr int kFixedWidths = 40 + 100 + 30 + 70;

// The report style of the list: every cell framed by grid lines.
class GridDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(option.palette.color(QPalette::Mid));
        painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        painter->restore();
    }
};

// The question of a session log that cannot be opened waits a bounded time:
// an agent started with the desktop session and nobody at the desk must not
// wait for ever before it starts collecting (the log is then paused and
// tried again later).
constexpr int kRetryQuestionMs = 120000;

std::optional<bool> AskRetry(const QString& question) {
    QMessageBox box(QMessageBox::Question, QObject::tr("Confirmación"), question,
                    QMessageBox::Yes | QMessageBox::No);
    QTimer::singleShot(kRetryQuestionMs, &box, [&] { box.reject(); });
    const int answer = box.exec();
    // Ended without a button (the time ran out, a signal ended the box):
    // nobody answered, and the log is paused rather than asked again.
    if (!box.clickedButton())
        return std::nullopt;
    return answer != QMessageBox::No;
}

// Sets a flag for the length of a scope, also when the scope is left by an
// exception.
class FlagScope {
public:
    FlagScope(bool& flag, std::function<void(bool)> changed)
        : m_flag(flag), m_changed(std::move(changed)) {
        m_flag = true;
        m_changed(true);
    }
    ~FlagScope() {
        m_flag = false;
        m_changed(false);
    }

private:
    bool& m_flag;
    std::function<void(bool)> m_changed;
};

}  // namespace

TMainForm::TMainForm(const MainFormSetup& setup, QWidget* parent)
    : QMainWindow(parent), m_setup(setup), m_config(setup.config ? *setup.config : Config()) {
    setObjectName("MainForm");

    if (AgentApplication* app = AgentApplication::Instance())
        app->SetExceptionHandler([this](const QString& message) { ApplicationException(message); });

    // Looked up before this window takes the title, so it does not find itself.
    if (m_setup.instance && m_setup.instance->OtherRunning()) {
        m_refused = true;
        QMessageBox box(QMessageBox::Warning, tr("Cuidado"),
                        tr("Ya esta ejecutando una instancia del agente"), QMessageBox::Ok);
        box.exec();
        return;
    }

    setWindowTitle(kTitle);
    BuildControls();
    const QString announceError =
        m_setup.instance && !m_setup.instance->Announce() ? m_setup.instance->Error() : QString();

    m_log = std::make_unique<TLogFile>(
        m_setup.logFolder, m_config.LogFileAppend == 0, m_config.LogFileActivado,
        "Agente de Kelvor I", "AGKelvorI",
        m_setup.askRetry ? m_setup.askRetry : RetryQuestion(AskRetry), m_setup.clock);
    m_log->KeepRunFiles(m_config.LogFileMax);
    // A log that stops taking lines later on is told once and the agent goes on.
    m_log->SetFailureNotice([this](const QString& message) {
        std::fprintf(stderr, "agente: %s\n", message.toLocal8Bit().constData());
        AddLogRow("", message, m_setup.clock(), "Error", 4, 2);
    });

    m_clock->start();
    ClockTimer();  // the panel is not left empty until the first tick
    SetupLogColumns();

    AddLogRow("", "Puesta en marcha del agente", m_setup.clock(), "OK", 0, 4);
    if (!m_log->OpenError().isEmpty()) {
        // The operator declined to retry: the agent goes on without a session log.
        AddLogRow("", "El agente sigue sin archivo de sesión: " + m_log->OpenError(),
                  m_setup.clock(), "Error", 4, 2);
    }
    if (!announceError.isEmpty())
        WriteLog("Otros agentes no podrán ver esta instancia: " + announceError, 1);

    WriteLog("Instanciación del thread en modo suspendido", 2);
    CreateThread(true);
    UpdateButtons();

    m_winTaskbar->SetHideApp(true);
}

TMainForm::~TMainForm() {
    if (AgentApplication* app = AgentApplication::Instance())
        app->SetExceptionHandler({});
    // Only when the window goes without an accepted close (a failed start-up):
    // the thread's last lines still reach the log.
    m_thread.reset();
    m_log.reset();  // the end lines of the session
}

void TMainForm::BuildControls() {
    QMenu* sistema = menuBar()->addMenu(tr("&Sistema"));
    m_itemOpciones = sistema->addAction(tr("&Opciones"), this, &TMainForm::ItemOpcionesClick);
    m_itemOpciones->setObjectName("ItemOpciones");
    m_itemOpciones->setStatusTip(tr("Opciones de inicialización del sistema"));
    m_itemOpciones->setToolTip(m_itemOpciones->statusTip());
    sistema->addSeparator();
    m_itemSalir = sistema->addAction(tr("&Salir"), this, &TMainForm::ItemSalirClick);
    m_itemSalir->setObjectName("ItemSalir");
    m_itemSalir->setStatusTip(tr("Salir de la aplicación"));
    m_itemSalir->setToolTip(m_itemSalir->statusTip());
    m_itemSalir->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    QMenu* ayuda = menuBar()->addMenu(tr("&Ayuda"));
    m_itemAcercade = ayuda->addAction(tr("&Acerca de..."), this, &TMainForm::ItemAcercadeClick);
    m_itemAcercade->setObjectName("ItemAcercade");

    auto* central = new QWidget(this);
    auto* toolPanel = new QWidget(central);
    toolPanel->setObjectName("ToolPanel");
    toolPanel->setFixedHeight(30);
    auto pictureButton = [toolPanel](const char* name, const QIcon& icon) {
        auto* button = new QToolButton(toolPanel);
        button->setObjectName(name);
        button->setIcon(icon);
        button->setIconSize(QSize(RowPictures::kSize, RowPictures::kSize));
        button->setFixedSize(25, 25);
        button->setAutoRaise(true);
        return button;
    };
    m_play = pictureButton("Play", RowPictures::PlayIcon());
    m_play->setToolTip(tr("Play"));
    m_pausa = pictureButton("Pausa", RowPictures::PausaIcon());
    m_pausa->setToolTip(tr("Pausa"));
    m_exitBtn = pictureButton("ExitBtn", RowPictures::ExitIcon());
    m_exitBtn->setToolTip(tr("Exit"));
    connect(m_play, &QToolButton::clicked, this, &TMainForm::PlayClick);
    connect(m_pausa, &QToolButton::clicked, this, &TMainForm::PausaClick);
    connect(m_exitBtn, &QToolButton::clicked, this, &TMainForm::ItemSalirClick);
    auto* tools = new QHBoxLayout(toolPanel);
    tools->setContentsMargins(2, 2, 2, 2);
    tools->setSpacing(2);
    tools->addWidget(m_play);
    tools->addWidget(m_pausa);
    tools->addStretch();
    tools->addWidget(m_exitBtn);

    m_logList = new QTreeWidget(central);
    m_logList->setObjectName("Log");
    m_logList->setColumnCount(kColumnCount);
    m_logList->setRootIsDecorated(false);
    m_logList->setIndentation(0);
    m_logList->setUniformRowHeights(true);
    m_logList->setAllColumnsShowFocus(true);
    m_logList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_logList->setFrameShape(QFrame::NoFrame);
    m_logList->setIconSize(QSize(RowPictures::kRowWidth, RowPictures::kSize));
    m_logList->setItemDelegate(new GridDelegate(m_logList));
    m_logList->header()->setStretchLastSection(false);
    m_logList->header()->setSectionsMovable(false);
    // The date column is 100 pixels wide: a smaller font where the platform's
    // default would cut its text.
    QFont listFont = m_logList->font();
    const QString sample = DateTimeText(QDateTime(QDate(2000, 12, 28), QTime(20, 58)));
    while (listFont.pointSizeF() > 6 && QFontMetrics(listFont).horizontalAdvance(sample) + 10 > 100)
        listFont.setPointSizeF(listFont.pointSizeF() - 0.5);
    m_logList->setFont(listFont);
    QPalette face = m_logList->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Button));
    m_logList->setPalette(face);

    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(toolPanel);
    layout->addWidget(m_logList);
    setCentralWidget(central);

    auto panel = [this](const char* name, int width, Qt::Alignment alignment) {
        auto* label = new QLabel(statusBar());
        label->setObjectName(name);
        label->setFixedWidth(width);
        label->setAlignment(alignment | Qt::AlignVCenter);
        label->setFrameShape(QFrame::Panel);
        label->setFrameShadow(QFrame::Sunken);
        statusBar()->addWidget(label);
        return label;
    };
    m_clockPanel = panel("ClockPanel", 125, Qt::AlignHCenter);
    m_stationPanel = panel("StationPanel", 80, Qt::AlignHCenter);
    m_stationPanel->setFrameShadow(QFrame::Raised);
    m_databasePanel = panel("DatabasePanel", 300, Qt::AlignLeft);

    m_clock = new QTimer(this);
    m_clock->setObjectName("Clock");
    m_clock->setInterval(1000);
    connect(m_clock, &QTimer::timeout, this, &TMainForm::ClockTimer);

    m_winTaskbar = new TWinTaskbar(this);
    m_winTaskbar->SetHideApp(false);  // until the start-up is done
    m_winTaskbar->SetIcon(RowPictures::AgentIcon());
    m_winTaskbar->SetShowIcon(true);

    setWindowIcon(RowPictures::AgentIcon());
    resize(kDesignWidth, kDesignHeight);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TMainForm::SetupLogColumns() {
    m_logList->setHeaderLabels(
        {"", tr("Fecha y hora"), tr("Registrador"), tr("Mensaje"), tr("Estado")});
    // The list has no frame, so its client width is its width; the layout is
    // applied first because the window has not been shown yet.
    if (layout())
        layout()->activate();
    if (centralWidget()->layout())
        centralWidget()->layout()->activate();
    m_logList->setColumnWidth(kPictures, 40);
    m_logList->setColumnWidth(kFechaHora, 100);
    m_logList->setColumnWidth(kRegistrador, 30);
    m_logList->setColumnWidth(kMensaje, qMax(0, m_logList->width() - kFixedWidths));
    m_logList->setColumnWidth(kEstado, 70);
}

void TMainForm::CreateDialogs(TFPsw::PasswordCheck isAdministrator, const QString& versionText) {
    m_aboutBox = new TAboutBox(versionText, this);
    m_dlgConfig = new TDlgConfig(m_config, this);
    m_fPsw = new TFPsw(std::move(isAdministrator), this);
}

void TMainForm::ShowStatus(const QString& databaseText) {
    m_databasePanel->setText("Base de datos: " + databaseText);
    m_databasePanel->setToolTip(m_databasePanel->text());
    ShowStation();
}

void TMainForm::ShowStation() {
    m_stationPanel->setText(QString("Estacion: %1").arg(m_config.Estacion));
}

void TMainForm::ReportStartupError(const QString& message, int level) {
    WriteLog(message, level);
    AddLogRow("", message, m_setup.clock(), "Error", 4, 2);
}

void TMainForm::StartThread() {
    if (m_thread)
        m_thread->Resume();
    UpdateButtons();
}

void TMainForm::CreateThread(bool paused) {
    AgentServices services;
    services.view = this;
    services.log = m_log.get();
    services.config = &m_config;
    services.dm = m_setup.dm;
    services.clock = m_setup.clock;
    services.timing = m_setup.timing;
    services.status = m_setup.status;
    const int remaining = m_setup.cycleLimit > 0 ? qMax(1, m_setup.cycleLimit - m_cyclesBefore) : 0;
    // A limit is set before the thread runs: a running thread is made paused
    // and let go at once.
    m_thread = std::make_unique<TComunicationThread>(paused || remaining > 0, services);
    if (remaining > 0) {
        m_thread->SetCycleLimit(remaining);
        if (!paused)
            m_thread->Resume();
    }
    connect(m_thread.get(), &TComunicationThread::CycleEnded, this, &TMainForm::CycleEnded);
    connect(m_thread.get(), &QThread::finished, this, &TMainForm::ThreadFinished);
    // The tip tells at a glance whether the readers answer.
    connect(m_thread.get(), &TComunicationThread::ReadersAnswered, this,
            [this](int estacion, int answered, int readers) {
                m_winTaskbar->SetHint(QStringLiteral("Estación %1: %2")
                                          .arg(estacion)
                                          .arg(ReaderStatus::AnsweredText(answered, readers)));
            });
}

void TMainForm::CycleEnded(int cyclesDone) {
    Q_UNUSED(cyclesDone);
    if (!m_setup.screenshot.isEmpty() && isVisible())
        grab().save(m_setup.screenshot);
}

void TMainForm::ThreadFinished() {
    // Outside a close or a restart the thread ends only at its cycle limit:
    // the agent then closes as an accepted close does.
    if (m_closing || m_restarting || !m_thread || !m_thread->isFinished())
        return;
    if (m_setup.cycleLimit <= 0)
        return;
    CloseUnattended();
}

void TMainForm::CloseUnattended() {
    m_unattended = true;
    close();
}

void TMainForm::AddLogRow(const QString& registrador, const QString& mensaje, const QDateTime& when,
                          const QString& estado, quint8 image, quint8 state) {
    m_logList->setUpdatesEnabled(false);
    auto* item = new QTreeWidgetItem;
    item->setIcon(kPictures, QIcon(RowPictures::Row(image, state)));
    item->setData(kPictures, kImageRole, int(image));
    item->setData(kPictures, kStateRole, int(state));
    item->setText(kFechaHora, DateTimeText(when));
    // A row is one line of the list: a text from outside (a database field,
    // an exception) of megabytes is cut, visibly, like the session log's.
    item->setText(kRegistrador, TextLimits::Capped(registrador, TextLimits::kField));
    item->setText(kMensaje, TextLimits::Capped(mensaje));
    item->setText(kEstado, TextLimits::Capped(estado, TextLimits::kField));
    SetRowTip(item);
    m_logList->insertTopLevelItem(0, item);
    // Filas is read at every row, so a new limit applies from the next row
    // on. Removing a single row per new row would keep a list that was longer
    // than a lowered limit at its old length for ever; a second row goes
    // while it is over the limit, so it shrinks one row per new row.
    for (int removed = 0; removed < 2 && m_logList->topLevelItemCount() > qMax(0, m_config.Filas);
         ++removed)
        delete m_logList->takeTopLevelItem(m_logList->topLevelItemCount() - 1);
    m_logList->setUpdatesEnabled(true);
}

void TMainForm::UpdateLogRow(const QString& estado, quint8 state) {
    QTreeWidgetItem* top = m_logList->topLevelItem(0);
    if (!top)
        return;
    m_logList->setUpdatesEnabled(false);
    top->setText(kEstado, TextLimits::Capped(estado, TextLimits::kField));
    SetRowTip(top);
    top->setData(kPictures, kStateRole, int(state));
    top->setIcon(kPictures,
                 QIcon(RowPictures::Row(top->data(kPictures, kImageRole).toInt(), state)));
    m_logList->setUpdatesEnabled(true);
}

void TMainForm::SetRowTip(QTreeWidgetItem* item) {
    // The message and state columns are narrow (a long state shows as
    // "Error de c..."): the whole texts are the row's tool tip, on every cell.
    QString tip = item->text(kMensaje);
    const QString estado = item->text(kEstado);
    if (!estado.isEmpty())
        tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) + "Estado: " + estado;
    for (int column = 0; column < kColumnCount; ++column) item->setToolTip(column, tip);
}

bool TMainForm::AgentHidden() {
    return !isVisible() || isMinimized();
}

void TMainForm::UpdateButtons() {
    const bool busy = m_closing || m_restarting;
    const bool paused = m_thread && m_thread->Paused();
    m_pausa->setEnabled(m_thread && !paused && !busy);
    m_play->setEnabled(m_thread && paused && !busy);
    m_pausa->repaint();
    m_play->repaint();
}

void TMainForm::SetBusy(bool busy) {
    // While the window waits for the thread, a pause would keep it waiting for
    // ever, and the menu would start what the wait is there to end.
    m_itemOpciones->setEnabled(!busy);
    m_itemSalir->setEnabled(!busy);
    m_exitBtn->setEnabled(!busy);
    UpdateButtons();
}

void TMainForm::ClockTimer() {
    m_clockPanel->setText(DateTimeText(m_setup.clock()));
}

void TMainForm::PlayClick() {
    if (!m_thread)
        return;
    WriteLog("Se resume la ejecución del thread", 2);
    m_thread->Resume();
    UpdateButtons();
}

void TMainForm::PausaClick() {
    if (!m_thread)
        return;
    WriteLog("Se pone en pausa la ejecución del thread", 2);
    m_thread->Pause();
    UpdateButtons();
}

bool TMainForm::PasswordAccepted() {
    if (!m_fPsw)
        return false;
    return m_fPsw->exec() == QDialog::Accepted && m_fPsw->Accepted();
}

void TMainForm::ItemOpcionesClick() {
    if (!m_dlgConfig)
        return;
    if (m_config.PSW && !PasswordAccepted())
        return;
    if (m_dlgConfig->exec() == QDialog::Accepted) {
        QString error;
        if (!m_config.Save(RegistryFile::Process(), &error))
            ReportStartupError("No se pudo guardar la configuración en " +
                                   RegistryFile::Process().Path() + ": " + error,
                               1);
        ShowStation();
    }
}

void TMainForm::ItemSalirClick() {
    close();
}

void TMainForm::ItemAcercadeClick() {
    if (m_aboutBox)
        m_aboutBox->exec();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (m_closing || m_restarting)
        return;  // the wait in progress decides
    if (!m_thread) {
        event->accept();
        emit Closed();
        return;
    }
    const bool ended = m_thread->isFinished();
    if (m_config.PSW && !m_unattended && !PasswordAccepted())
        return;
    if (!ended && !m_unattended && m_thread->Paused()) {
        QMessageBox::warning(this, tr("Advertencia"),
                             tr("Debe sacar de la pausa al agente antes de terminar su ejecución"),
                             QMessageBox::Ok);
        return;
    }

    {
        FlagScope closing(m_closing, [this](bool busy) { SetBusy(busy); });
        TMensaje::ShowNotice(nullptr, tr("Finalizando. Aguarde un momento ..."));
        WriteLog("Cierre del agente. Se aguarda la finalización del thread", 2);
        // The thread's requests are served meanwhile, so it can end its cycle.
        m_thread->RequestStop();
        m_thread->WaitForEnd();
        m_thread.reset();
        WriteLog("Fin de la espera de finalización", 2);
        TMensaje::HideNotice();
    }
    event->accept();
    emit Closed();
}

void TMainForm::ApplicationException(const QString& message) {
    WriteLog("Se ha producido la siguiente excepción: " + message, 1);
    // A close or a restart under way is already ending the thread.
    if (m_closing || m_restarting || !m_thread)
        return;

    FlagScope restarting(m_restarting, [this](bool busy) { SetBusy(busy); });
    WriteLog("Se intentará finalizar el thread", 2);
    m_thread->RequestStop();
    WriteLog("Se aguarda la finalización del thread", 2);
    m_thread->WaitForEnd();  // lets a paused thread go on first
    WriteLog("El thread ha finalizado", 2);
    m_cyclesBefore += m_thread->CyclesDone();
    m_thread.reset();
    WriteLog("El sistema entra en un periodo de descanso...", 2);
    QThread::msleep(static_cast<unsigned long>(qMax(0, m_setup.restMs)));
    WriteLog("Fin de la siesta... se intentará instanciar el thread", 2);
    CreateThread(false);
    WriteLog("El thread está instanciado y en ejecución. Vamos todavía !!!", 2);
}

void TMainForm::WriteLog(const QString& message, int level) {
    if (m_log)
        m_log->WriteLine(kMain, message, level);
}
