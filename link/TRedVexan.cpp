#include "link/TRedVexan.h"

#include "link/Framing.h"
#include "link/TSerialPort.h"
#include "shell/Errors.h"

namespace {

const QString kPortClosed = QStringLiteral("El puerto esta cerrado");
const QString kNotInitialised = QStringLiteral("No se ha inicializado el reloj");
const QString kTooManyAttempts =
    QStringLiteral("Se supero la cantidad maxima de intentos de comunicación");

}  // namespace

TRedVexan::TRedVexan(ClockFn clock)
    : TRedVexan(std::make_unique<TSerialPort>(), std::move(clock)) {}

TRedVexan::TRedVexan(std::unique_ptr<BytePort> port, ClockFn clock)
    : m_port(std::move(port)), m_echo(*m_port), m_clock(clock ? std::move(clock) : SystemClock()) {}

TRedVexan::~TRedVexan() = default;

bool TRedVexan::Connect() {
    try {
        m_port->Params().SetInQueueSize(1000);
        m_port->Params().SetOutQueueSize(1000);
        m_port->Open();
        m_echo.Reset();
        m_connectError.clear();
        return true;
    } catch (const Exception& e) {
        m_connectError = e.Message();
    } catch (const std::exception& e) {
        m_connectError = QString::fromLocal8Bit(e.what());
    }
    return false;
}

void TRedVexan::Disconnect() {
    m_port->Close();
}

TParams& TRedVexan::Params() {
    return m_port->Params();
}

void TRedVexan::SetAddress(QChar letter) {
    m_data.Direccion = letter;
    m_data.Inicializado = false;
}

int TRedVexan::BuildFrame(QByteArray& frame, const QByteArray& command) {
    return Framing::BuildFrame(frame, command);
}

quint8 TRedVexan::Checksum(const QByteArray& data, int len) {
    return Framing::Checksum(data, len);
}

bool TRedVexan::CheckFrame(const QByteArray& data, int len) {
    return Framing::CheckFrame(data, len);
}

void TRedVexan::RequireOpen() const {
    if (!m_port->Active())
        throw Exception(kPortClosed);
}

void TRedVexan::TooManyAttempts() const {
    throw Exception(kTooManyAttempts);
}

bool TRedVexan::WriteFrame(const QByteArray& command) {
    return m_echo.Send(Framing::RequestFrame(m_data.Direccion, command));
}

bool TRedVexan::WriteControl(char byte) {
    return m_echo.Send(QByteArray(1, byte));
}

int TRedVexan::ReadAnswer() {
    QByteArray answer;
    try {
        if (m_echo.Read(answer, 1) < 1)
            return -1;
    } catch (const ETimeout&) {
        return -1;
    }
    return quint8(answer[0]);
}

bool TRedVexan::ReadRecord(QByteArray& record) {
    int received = 0;
    try {
        received = m_echo.Read(record, Framing::kRecordSize);
    } catch (const ETimeout&) {
        return false;
    }
    // A short record is bad whatever its last byte: the unfilled rest of the
    // buffer must never complete a check by chance.
    return received == Framing::kRecordSize && Framing::CheckFrame(record, Framing::kRecordSize);
}

void TRedVexan::SendCommand(const QByteArray& command) {
    for (quint64 attempt = 1;; ++attempt) {
        const bool echoed = WriteFrame(command);
        const int answer = ReadAnswer();
        if (attempt > m_maxRetries)
            TooManyAttempts();
        if (echoed && answer == quint8(Framing::kAck))
            return;
    }
}

QByteArray TRedVexan::RequestRecord(char letter) {
    for (quint64 attempt = 1;; ++attempt) {
        const bool echoed = WriteFrame(QByteArray(1, letter));
        const int answer = ReadAnswer();
        QByteArray record;
        // Without any answer byte in time there is no record coming either.
        const bool good = answer >= 0 && ReadRecord(record);
        if (attempt > m_maxRetries)
            TooManyAttempts();
        // A record is taken only when its acknowledgement went out intact
        // too; a damaged ACK asks for the record again.
        if (echoed && good && answer == quint8(Framing::kAck) && WriteControl(Framing::kAck)) {
            record.truncate(Framing::kRecordSize);
            return record;
        }
    }
}

void TRedVexan::Initialize() {
    RequireOpen();
    TRegistrador_Data data = m_data;
    Framing::DecodeStatusA(RequestRecord('A'), data);
    Framing::DecodeStatusB(RequestRecord('B'), data);
    data.Inicializado = true;
    data.Rechazadas = 0;
    m_data = data;
}

void TRedVexan::ReadRegistrations(TListaFichadas& lista) {
    RequireOpen();
    if (!m_data.Inicializado)
        throw Exception(kNotInitialised);
    m_data.Rechazadas = 0;
    lista.Clear();
    m_lastRecords.clear();
    if (m_data.Cantidad <= 0)
        return;
    lista.Reserve(m_data.Cantidad);
    SendCommand("0");
    // Whether the agent's last ACK or NAK went out intact. One that came back
    // damaged may not have reached the reader, so the record read after it is
    // asked for again like a bad one.
    bool controlEchoed = true;
    for (qint32 i = 0; i < m_data.Cantidad; ++i) {
        QByteArray record;
        bool good = ReadRecord(record) && controlEchoed;
        // The exclusive-or check misses two corruptions of the same bit: a
        // record that checks but does not decode may have been damaged on the
        // line, so it is asked for again like a bad one. Only a record that
        // still fails after MaxRetries copies is taken as the reader's own
        // (rejected, acknowledged, skipped), never a registration lost to noise.
        for (quint64 copies = 0;; ++copies) {
            for (quint64 attempt = 1; !good; ++attempt) {
                controlEchoed = WriteControl(Framing::kNak);
                good = ReadRecord(record) && controlEchoed;
                if (attempt > m_maxRetries)
                    TooManyAttempts();
            }
            record.truncate(Framing::kRecordSize);
            try {
                TFichada fichada(record, m_clock());
                m_lastRecords.append(record);
                lista.Add(fichada, m_lastRecords.size() - 1);
                break;
            } catch (const Exception&) {
                if (copies >= m_maxRetries) {
                    m_lastRecords.append(record);
                    ++m_data.Rechazadas;
                    break;
                }
            }
            controlEchoed = WriteControl(Framing::kNak);
            good = ReadRecord(record) && controlEchoed;
        }
        controlEchoed = WriteControl(Framing::kAck);
        if (m_progress)
            m_progress();
    }
}

qint32 TRedVexan::RequestCount() {
    RequireOpen();
    if (!m_data.Inicializado)
        throw Exception(kNotInitialised);
    TRegistrador_Data data = m_data;
    Framing::DecodeStatusB(RequestRecord('B'), data);
    return data.Cantidad;
}

void TRedVexan::ClearMemory() {
    RequireOpen();
    if (!m_data.Inicializado)
        throw Exception(kNotInitialised);
    SendCommand("2");
}

void TRedVexan::EnableAll() {
    RequireOpen();
    SendCommand("3");
}

void TRedVexan::DisableAll() {
    RequireOpen();
    SendCommand("6");
}

void TRedVexan::RemoveKey(qint32 key) {
    RequireOpen();
    SendCommand("4" + Framing::KeyText(key));
}

void TRedVexan::AddKey(qint32 key) {
    RequireOpen();
    SendCommand("5" + Framing::KeyText(key));
}
