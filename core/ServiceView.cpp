#include "core/ServiceView.h"

#include <signal.h>

#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <cerrno>

#include "shell/TextLimits.h"
#include "shell/TimeText.h"
#include "shell/Windows1252.h"

namespace {

constexpr qint64 kTailBytes = 64 * 1024;
constexpr int kJournalMs = 3000;

// A process of another user answers kill(0) with EPERM: it exists.
bool Running(qint64 pid) {
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

QPlainTextEdit* ReadOnlyText(const QString& name) {
    auto* text = new QPlainTextEdit;
    text->setObjectName(name);
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    return text;
}

// The newest line is the last one: it is kept in sight.
void ShowLast(QPlainTextEdit* text, const QStringList& lines) {
    text->setPlainText(lines.join(QLatin1Char('\n')));
    text->verticalScrollBar()->setValue(text->verticalScrollBar()->maximum());
}

}  // namespace

ServiceView::ServiceView(Source source, QWidget* parent)
    : QWidget(parent), m_source(std::move(source)) {
    setObjectName(QStringLiteral("ServiceView"));
    setWindowTitle(QStringLiteral("Agente de Kelvor II - servicio"));
    m_pid = HolderPid(m_source.holder);
    if (m_source.logFolder.isEmpty())
        m_source.logFolder = LogFolderOf(m_pid);

    auto* layout = new QVBoxLayout(this);
    m_headline = new QLabel;
    m_headline->setObjectName(QStringLiteral("Titular"));
    m_headline->setWordWrap(true);
    QFont bold = m_headline->font();
    bold.setBold(true);
    m_headline->setFont(bold);
    layout->addWidget(m_headline);
    layout->addWidget(new QLabel(QStringLiteral("Estado de los registradores")));
    m_status = ReadOnlyText(QStringLiteral("Estado"));
    layout->addWidget(m_status, 1);
    layout->addWidget(new QLabel(QStringLiteral("Últimas líneas del servicio")));
    m_lines = ReadOnlyText(QStringLiteral("Lineas"));
    layout->addWidget(m_lines, 2);
    auto* bottom = new QHBoxLayout;
    m_updated = new QLabel;
    bottom->addWidget(m_updated, 1);
    auto* close = new QPushButton(QStringLiteral("Cerrar"));
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    bottom->addWidget(close);
    layout->addLayout(bottom);
    resize(900, 560);

    m_timer = new QTimer(this);
    m_timer->setInterval(qMax(100, m_source.refreshMs));
    connect(m_timer, &QTimer::timeout, this, &ServiceView::Refresh);
    m_timer->start();
    Refresh();
}

ServiceView::~ServiceView() {
    if (m_journal) {
        m_journal->disconnect(this);
        m_journal->kill();
        m_journal->waitForFinished(1000);
    }
}

void ServiceView::closeEvent(QCloseEvent* event) {
    event->accept();
    emit Closed();
}

qint64 ServiceView::HolderPid(const QString& holder) {
    static const QRegularExpression pid(QStringLiteral("^proceso (\\d+)"));
    const QRegularExpressionMatch m = pid.match(holder);
    return m.hasMatch() ? m.captured(1).toLongLong() : 0;
}

QString ServiceView::LogFolderOf(qint64 pid) {
    if (pid <= 0)
        return {};
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> args = file.read(64 * 1024).split('\0');
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--log-dir" && i + 1 < args.size())
            return QFile::decodeName(args[i + 1]);
        if (args[i].startsWith("--log-dir="))
            return QFile::decodeName(args[i].mid(10));
    }
    // Without --log-dir the agent writes next to its program.
    return args.isEmpty() || args[0].isEmpty()
               ? QString()
               : QFileInfo(QFile::decodeName(args[0])).absolutePath();
}

QStringList ServiceView::LastLogLines(const QString& folder, int count) {
    if (folder.isEmpty())
        return {};
    // The append file and a per-run file ("AGK" and a unique suffix) alike:
    // the one written last is the running session's.
    const QFileInfoList files =
        QDir(folder).entryInfoList({QStringLiteral("AGK*")}, QDir::Files, QDir::Time);
    if (files.isEmpty())
        return {};
    QFile file(files.first().filePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    const bool cut = size > kTailBytes;
    if (cut)
        file.seek(size - kTailBytes);
    QStringList lines =
        FromWindows1252(file.read(kTailBytes)).split(QRegularExpression(QStringLiteral("\r?\n")));
    if (cut && !lines.isEmpty())
        lines.removeFirst();  // begun before the piece read
    lines.removeAll(QString());
    QStringList last = lines.mid(qMax<qsizetype>(0, lines.size() - count));
    for (QString& line : last) line = TextLimits::Capped(line);
    return last;
}

void ServiceView::Refresh() {
    const bool running = Running(m_pid);
    if (running || m_pid == 0) {
        m_headline->setText(
            QStringLiteral("El servicio del agente atiende la estación %1 (%2). Esta ventana "
                           "solo muestra su estado: no se inicia un segundo agente.")
                .arg(m_source.estacion)
                .arg(m_source.holder));
    } else {
        m_headline->setText(
            QStringLiteral("El servicio que atendía la estación %1 (%2) ya no está en marcha. "
                           "Cierre esta ventana y vuelva a abrir el agente para atenderla.")
                .arg(m_source.estacion)
                .arg(m_source.holder));
    }

    QString error;
    const QString report = m_source.places.StatusReport(m_source.estacion, &error);
    m_status->setPlainText(error.isEmpty() ? report : error);

    const QStringList lines = LastLogLines(m_source.logFolder, m_source.lineCount);
    if (!lines.isEmpty()) {
        ShowLast(m_lines, lines);
    } else if (running && !m_source.journalctl.isEmpty()) {
        AskJournal(m_pid);
    } else {
        m_lines->setPlainText(
            QStringLiteral("No hay archivo de sesión del servicio que se pueda leer%1.")
                .arg(m_source.logFolder.isEmpty() ? QString()
                                                  : QStringLiteral(" en ") + m_source.logFolder));
    }
    m_updated->setText(QStringLiteral("Actualizado: ") + LogStamp(QDateTime::currentDateTime()));
}

void ServiceView::AskJournal(qint64 pid) {
    if (m_journal)
        return;  // the last question is still out
    m_journal = std::make_unique<QProcess>();
    QProcess* p = m_journal.get();
    auto* deadline = new QTimer(p);
    deadline->setSingleShot(true);
    // A coarse timer may fire up to 5 % early: the journal gets its whole
    // time before it is ended.
    deadline->setTimerType(Qt::PreciseTimer);
    connect(deadline, &QTimer::timeout, p, [p] { p->kill(); });
    connect(p, &QProcess::finished, this, [this, p](int code, QProcess::ExitStatus status) {
        const QString out = QString::fromUtf8(p->readAllStandardOutput()).trimmed();
        if (status == QProcess::NormalExit && code == 0 && !out.isEmpty()) {
            QStringList lines = out.split(QLatin1Char('\n'));
            for (QString& line : lines) line = TextLimits::Capped(line);
            ShowLast(m_lines, lines);
        } else {
            m_lines->setPlainText(QStringLiteral(
                "El archivo de sesión del servicio está apagado y su diario (journalctl) no se "
                "puede leer; los miembros del grupo systemd-journal o adm pueden leerlo."));
        }
        m_journal.release()->deleteLater();
    });
    connect(p, &QProcess::errorOccurred, this, [this, p](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;  // a crash or a kill ends in finished
        m_lines->setPlainText(QStringLiteral("El archivo de sesión del servicio está apagado."));
        m_journal.release()->deleteLater();
    });
    // Reads only what the journal lets this user read; stdin closed.
    p->setStandardInputFile(QProcess::nullDevice());
    p->setStandardErrorFile(QProcess::nullDevice());
    p->start(m_source.journalctl,
             {QStringLiteral("_PID=%1").arg(pid), QStringLiteral("-n"),
              QString::number(m_source.lineCount), QStringLiteral("-o"), QStringLiteral("cat"),
              QStringLiteral("--no-pager"), QStringLiteral("-q")});
    deadline->start(kJournalMs);
}

QString ServiceView::Headline() const {
    return m_headline->text();
}

QString ServiceView::StatusText() const {
    return m_status->toPlainText();
}

QString ServiceView::LinesText() const {
    return m_lines->toPlainText();
}
