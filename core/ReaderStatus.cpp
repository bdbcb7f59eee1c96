#include "core/ReaderStatus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <utility>

#include "shell/TimeText.h"

namespace {

const QString kIso = QStringLiteral("yyyy-MM-ddTHH:mm:ss");

QString Iso(const QDateTime& t) {
    return t.isValid() ? t.toString(kIso) : QString();
}

QString Shown(const QString& iso) {
    const QDateTime t = QDateTime::fromString(iso, kIso);
    return t.isValid() ? DateTimeText(t) : QStringLiteral("-");
}

}  // namespace

ReaderStatus::ReaderStatus(QString file) : m_file(std::move(file)) {}

ReaderStatus::Reader& ReaderStatus::Entry(const QString& id) {
    for (Reader& r : m_readers)
        if (r.id == id)
            return r;
    m_readers.append(Reader{});
    m_readers.back().id = id;
    return m_readers.back();
}

void ReaderStatus::BeginCycle(qint32 estacion) {
    m_estacion = estacion;
    for (Reader& r : m_readers) {
        r.inStation = false;
        r.answered = false;
    }
}

void ReaderStatus::Collected(const QString& id, bool virtualReader) {
    // The collection's order: an entry seen again moves behind the ones
    // already collected in this cycle.
    Reader r = Entry(id);
    m_readers.removeIf([&](const Reader& x) { return x.id == id; });
    qsizetype at = 0;
    while (at < m_readers.size() && m_readers[at].inStation) ++at;
    r.inStation = true;
    r.virtualReader = virtualReader;
    m_readers.insert(at, r);
}

void ReaderStatus::Contact(const QString& id, const QDateTime& when,
                           std::optional<qint64> clockDiffMin) {
    Reader& r = Entry(id);
    r.lastContact = when;
    r.answered = true;
    if (clockDiffMin)
        r.clockDiffMin = clockDiffMin;
}

void ReaderStatus::Result(const QString& id, const QDateTime& when, const QString& text) {
    Reader& r = Entry(id);
    r.lastResultAt = when;
    r.lastResult = text;
}

void ReaderStatus::Stored(const QString& id, qint64 count) {
    Entry(id).stored += count;
}

void ReaderStatus::Command(const QString& id, const QDateTime& when, bool delivered) {
    Reader& r = Entry(id);
    if (delivered) {
        ++r.delivered;
        r.lastContact = when;
        r.answered = true;
    } else {
        ++r.failed;
    }
}

int ReaderStatus::Answered() const {
    int n = 0;
    for (const Reader& r : m_readers) n += r.inStation && !r.virtualReader && r.answered;
    return n;
}

int ReaderStatus::LineReaders() const {
    int n = 0;
    for (const Reader& r : m_readers) n += r.inStation && !r.virtualReader;
    return n;
}

QByteArray ReaderStatus::ToJson(const QDateTime& when, int cycle) const {
    QJsonArray readers;
    for (const Reader& r : m_readers) {
        QJsonObject o;
        o["Id"] = r.id;
        o["Virtual"] = r.virtualReader;
        o["EnLaEstacion"] = r.inStation;
        o["Respondio"] = r.answered;
        o["UltimoContacto"] = Iso(r.lastContact);
        o["UltimoResultado"] = r.lastResult;
        o["FechaResultado"] = Iso(r.lastResultAt);
        o["DiferenciaRelojMin"] =
            r.clockDiffMin ? QJsonValue(double(*r.clockDiffMin)) : QJsonValue();
        o["Almacenadas"] = double(r.stored);
        o["ComandosEnviados"] = double(r.delivered);
        o["ComandosFallidos"] = double(r.failed);
        readers.append(o);
    }
    QJsonObject root;
    root["Estacion"] = m_estacion;
    root["Ciclo"] = cycle;
    root["FechaHora"] = Iso(when);
    root["Respondieron"] = Answered();
    root["ConLinea"] = LineReaders();
    root["Registradores"] = readers;
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QString ReaderStatus::EndCycle(const QDateTime& when, int cycle) {
    if (m_file.isEmpty())
        return {};
    // QSaveFile writes a temporary file next to the target and renames it
    // over the target at commit: a reader sees the old file or the new one.
    QSaveFile out(m_file);
    if (!out.open(QIODevice::WriteOnly))
        return out.errorString();
    const QByteArray bytes = ToJson(when, cycle);
    if (out.write(bytes) != bytes.size()) {
        const QString e = out.errorString();
        out.cancelWriting();
        return e;
    }
    if (!out.commit())
        return out.errorString();
    return {};
}

QString ReaderStatus::Table(const QByteArray& json, QString* error) {
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (!doc.isObject() || !doc.object().contains("Registradores")) {
        if (error)
            *error = parse.error != QJsonParseError::NoError
                         ? parse.errorString()
                         : QStringLiteral("no es un archivo de estado del agente");
        return {};
    }
    const QJsonObject root = doc.object();
    QList<QStringList> rows{{"Registrador", "Último contacto", "Último resultado", "Reloj",
                             "Almacenadas", "Cmd. enviados", "Cmd. fallidos"}};
    for (const QJsonValue& v : root["Registradores"].toArray()) {
        const QJsonObject o = v.toObject();
        QString id = o["Id"].toString();
        if (o["Virtual"].toBool())
            id += QStringLiteral(" (virtual)");
        else if (!o["EnLaEstacion"].toBool())
            id += QStringLiteral(" (otra estación)");
        const QJsonValue diff = o["DiferenciaRelojMin"];
        QString result = o["UltimoResultado"].toString();
        if (result.isEmpty())
            result = QStringLiteral("-");
        rows.append({id, Shown(o["UltimoContacto"].toString()), result,
                     diff.isDouble() ? QStringLiteral("%1 min").arg(qint64(diff.toDouble()))
                                     : QStringLiteral("-"),
                     QString::number(qint64(o["Almacenadas"].toDouble())),
                     QString::number(qint64(o["ComandosEnviados"].toDouble())),
                     QString::number(qint64(o["ComandosFallidos"].toDouble()))});
    }
    QList<qsizetype> width(rows.first().size(), 0);
    for (const QStringList& r : rows)
        for (qsizetype i = 0; i < r.size(); ++i) width[i] = qMax(width[i], r[i].size());
    QString text = QStringLiteral("Estación %1, ciclo %2 terminado el %3: %4\n")
                       .arg(root["Estacion"].toInt())
                       .arg(root["Ciclo"].toInt())
                       .arg(Shown(root["FechaHora"].toString()))
                       .arg(AnsweredText(root["Respondieron"].toInt(), root["ConLinea"].toInt()));
    for (const QStringList& r : rows) {
        QString line;
        for (qsizetype i = 0; i < r.size(); ++i)
            line += (i + 1 < r.size() ? r[i].leftJustified(width[i] + 2) : r[i]);
        text += line + QLatin1Char('\n');
    }
    return text;
}

QString ReaderStatus::AnsweredText(int answered, int readers) {
    return QStringLiteral("%1 %2 de %3 %4")
        .arg(answered == 1 ? QStringLiteral("respondió") : QStringLiteral("respondieron"))
        .arg(answered)
        .arg(readers)
        .arg(readers == 1 ? QStringLiteral("registrador") : QStringLiteral("registradores"));
}
