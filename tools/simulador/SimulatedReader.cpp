#include "tools/simulador/SimulatedReader.h"

#include <QJsonArray>
#include <numeric>

namespace {

constexpr char kAck = 0x06;
constexpr char kNak = 0x15;

// The reader's own record seal: the 18th byte is the exclusive-or of the 17
// before it. Written here from the protocol description, independently of the
// agent's code, so that a mistake on one side shows up on the other.
QByteArray Seal(QByteArray text17) {
    text17 = text17.leftJustified(17, '0', true);
    const char x = std::accumulate(text17.begin(), text17.end(), char(0),
                                   [](char acc, char c) { return char(acc ^ c); });
    text17.append(x);
    return text17;
}

std::optional<int> Digits(const QByteArray& text) {
    if (text.isEmpty())
        return std::nullopt;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

QByteArray Two(int v) {
    return QByteArray::number(v).rightJustified(2, '0', true);
}

QByteArray Five(qint64 v) {
    return QByteArray::number(v).rightJustified(5, '0', true);
}

}  // namespace

SimulatedReader::SimulatedReader(QChar address, ClockFn clock, quint32 seed)
    : m_address(address),
      m_clock(clock ? std::move(clock) : SystemClock()),
      m_random(seed ^ (quint32(address.unicode()) * 2654435761u)) {}

void SimulatedReader::SetClockOffset(qint64 seconds) {
    std::lock_guard lock(m_mutex);
    m_fixedClock.reset();
    m_offsetSeconds = seconds;
}

void SimulatedReader::SetFixedClock(const QDateTime& when) {
    std::lock_guard lock(m_mutex);
    m_fixedClock = when;
}

QDateTime SimulatedReader::Now() const {
    std::lock_guard lock(m_mutex);
    return NowLocked();
}

QDateTime SimulatedReader::NowLocked() const {
    if (m_fixedClock)
        return *m_fixedClock;
    return m_clock().addSecs(m_offsetSeconds);
}

void SimulatedReader::SetTexto(const QByteArray& five) {
    std::lock_guard lock(m_mutex);
    m_texto = five.leftJustified(5, ' ', true);
}

void SimulatedReader::SetStatusText(char letter, const QByteArray& text17) {
    std::lock_guard lock(m_mutex);
    m_statusText[letter] = text17;
}

void SimulatedReader::AddRegistration(const QByteArray& code, qint32 key, const QDateTime& moment) {
    std::lock_guard lock(m_mutex);
    AddLocked(code, key, moment);
}

void SimulatedReader::AddLocked(const QByteArray& code, qint32 key, const QDateTime& moment) {
    QByteArray text;
    text += char(m_address.toLatin1());
    text += code.leftJustified(2, '0', true);
    text += Two(moment.date().month()) + Two(moment.date().day());
    text += Two(moment.time().hour()) + Two(moment.time().minute());
    text += Five(key);
    text += '0';
    m_registrations.append(Seal(text));
}

// Keys at a steady rate: the reader is brought up to date whenever it is
// looked at (a frame, an ACK or NAK, an inspection), so a key falls due
// while a transfer runs exactly as on a busy door, and the keys are the same
// in every run (50001, 50002, ... on through later SetFaults), only their moments follow the clock.
void SimulatedReader::CatchUpTrafficLocked() {
    if (m_faults.trafficMs <= 0)
        return;
    const auto elapsed = std::chrono::steady_clock::now() - m_trafficStart;
    const qint64 due =
        m_trafficBase +
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / m_faults.trafficMs;
    while (m_trafficAdded < due) {
        ++m_trafficAdded;
        AddLocked("11", 50000 + (m_trafficAdded - 1) % 49999 + 1, NowLocked());
    }
}

int SimulatedReader::TrafficAdded() const {
    std::lock_guard lock(m_mutex);
    return m_trafficAdded;
}

double SimulatedReader::EraseWindowMs() const {
    std::lock_guard lock(m_mutex);
    return m_eraseWindowMs;
}

void SimulatedReader::AddRawRecord(const QByteArray& record) {
    std::lock_guard lock(m_mutex);
    m_registrations.append(record.leftJustified(18, '0', true));
}

void SimulatedReader::AddRawText(const QByteArray& text17) {
    std::lock_guard lock(m_mutex);
    m_registrations.append(Seal(text17));
}

void SimulatedReader::AddKey(qint32 key, const QByteArray& extra) {
    std::lock_guard lock(m_mutex);
    m_keys[key] = extra;
}

void SimulatedReader::SetEnabled(bool enabled) {
    std::lock_guard lock(m_mutex);
    m_enabled = enabled;
}

void SimulatedReader::SetBaud(qint32 baud) {
    std::lock_guard lock(m_mutex);
    m_baud = baud;
}

qint32 SimulatedReader::Baud() const {
    std::lock_guard lock(m_mutex);
    return m_baud;
}

void SimulatedReader::SetFaults(const SimFaults& faults) {
    std::lock_guard lock(m_mutex);
    CatchUpTrafficLocked();
    m_faults = faults;
    m_trafficStart = std::chrono::steady_clock::now();
    m_trafficBase = m_trafficAdded;
    m_framesHeard = 0;
    m_recordsCut = 0;
    m_badCheckDone.clear();
    m_badStatusDone.clear();
}

SimFaults SimulatedReader::Faults() const {
    std::lock_guard lock(m_mutex);
    return m_faults;
}

void SimulatedReader::ClearLog() {
    std::lock_guard lock(m_mutex);
    m_heard.clear();
    m_requests.clear();
    m_acks = 0;
    m_naks = 0;
}

void SimulatedReader::ClearRegistrations() {
    std::lock_guard lock(m_mutex);
    m_registrations.clear();
    m_cursor = -1;
}

QStringList SimulatedReader::Heard() const {
    std::lock_guard lock(m_mutex);
    return m_heard;
}

QStringList SimulatedReader::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

int SimulatedReader::AcksReceived() const {
    std::lock_guard lock(m_mutex);
    return m_acks;
}

int SimulatedReader::NaksReceived() const {
    std::lock_guard lock(m_mutex);
    return m_naks;
}

QList<QByteArray> SimulatedReader::Registrations() const {
    std::lock_guard lock(m_mutex);
    return m_registrations;
}

QMap<qint32, QByteArray> SimulatedReader::Keys() const {
    std::lock_guard lock(m_mutex);
    return m_keys;
}

bool SimulatedReader::Enabled() const {
    std::lock_guard lock(m_mutex);
    return m_enabled;
}

bool SimulatedReader::ByProfile() const {
    std::lock_guard lock(m_mutex);
    return m_byProfile;
}

bool SimulatedReader::AlarmsEnabled() const {
    std::lock_guard lock(m_mutex);
    return m_alarmsEnabled;
}

bool SimulatedReader::AlarmOn() const {
    std::lock_guard lock(m_mutex);
    return m_alarmOn;
}

int SimulatedReader::Resets() const {
    std::lock_guard lock(m_mutex);
    return m_resets;
}

int SimulatedReader::Erased() const {
    std::lock_guard lock(m_mutex);
    return m_erased;
}

QList<QByteArray> SimulatedReader::Profile() const {
    std::lock_guard lock(m_mutex);
    return m_profile;
}

int SimulatedReader::ProfileAnnounced() const {
    std::lock_guard lock(m_mutex);
    return m_profileAnnounced;
}

QByteArray SimulatedReader::LastClockSet() const {
    std::lock_guard lock(m_mutex);
    return m_lastClockSet;
}

QByteArray SimulatedReader::StatusRecord(char letter) const {
    if (m_statusText.contains(letter))
        return Seal(m_statusText.value(letter));
    const QDateTime now = NowLocked();
    const QByteArray clock = Two(now.date().month()) + Two(now.date().day()) +
                             Two(now.time().hour()) + Two(now.time().minute());
    QByteArray text;
    text += letter;
    if (letter == 'A') {
        text += "00" + clock + m_texto;
    } else {
        // Position 3 is a status digit; the stored count is capped at what
        // five digits can say.
        text += QByteArray(m_enabled ? "01" : "00") + clock +
                Five(qMin<qsizetype>(m_registrations.size(), 99999));
    }
    text += '0';
    return Seal(text);
}

QByteArray SimulatedReader::RecordToSend(const QByteArray& record, int registrationNumber,
                                         char status) {
    QByteArray r = record;
    bool bad = false;
    if (status != 0 && m_faults.badCheckStatus == status &&
        (m_faults.badCheckAlways || !m_badStatusDone.contains(status))) {
        bad = true;
        m_badStatusDone.append(status);
    }
    if (registrationNumber > 0 && m_faults.badCheckRecord == registrationNumber &&
        (m_faults.badCheckAlways || !m_badCheckDone.contains(registrationNumber))) {
        bad = true;
        m_badCheckDone.append(registrationNumber);
    }
    if (bad && r.size() >= 18)
        r[17] = char(r[17] ^ 0x5A);
    if (m_faults.shortBytes >= 0 &&
        (m_faults.shortCount < 0 || m_recordsCut < m_faults.shortCount)) {
        r.truncate(m_faults.shortBytes);
        ++m_recordsCut;
    }
    return r;
}

SimAnswer SimulatedReader::Answer(QByteArray bytes) {
    if (m_faults.noise > 0) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        std::uniform_int_distribution<int> bit(0, 7);
        QByteArray noisy;
        for (char c : bytes) {
            if (chance(m_random) >= m_faults.noise) {
                noisy.append(c);
            } else if (chance(m_random) < 0.5) {
                noisy.append(char(c ^ (1 << bit(m_random))));
            }  // else the byte is lost
        }
        bytes = noisy;
    }
    SimAnswer a{bytes, m_faults.delayMs, m_faults.lineSpeed, {}, m_faults.latencyMs};
    if (m_faults.chunkMax > 0 && !bytes.isEmpty()) {
        // Piece sizes are drawn, so a run with the same seed cuts the same way.
        std::uniform_int_distribution<int> size(1, m_faults.chunkMax);
        a.pauseBeforeMs.fill(0, bytes.size());
        for (qsizetype next = size(m_random); next < bytes.size(); next += size(m_random))
            a.pauseBeforeMs[next] = m_faults.chunkPauseMs;
    }
    return a;
}

SimAnswer SimulatedReader::OnFrame(const QByteArray& command) {
    std::lock_guard lock(m_mutex);
    CatchUpTrafficLocked();
    ++m_framesHeard;
    m_heard.append(QString::fromLatin1(command));
    if (command == "B")
        m_lastStatusB = std::chrono::steady_clock::now();
    // A request frame means the agent has left any transfer it was in (it
    // may be a new agent after the old one died mid-way): the next ACK must
    // not bring out a registration of that old transfer.
    m_cursor = -1;
    if (m_faults.silent)
        return {};
    if (m_faults.nakFirst < 0 || m_framesHeard <= m_faults.nakFirst) {
        return Answer(QByteArray(1, kNak));
    }
    if (m_faults.garbageFirst < 0 || m_framesHeard <= m_faults.garbageFirst) {
        std::uniform_int_distribution<int> any(0, 255);
        char c = char(any(m_random));
        if (c == kAck)
            c = '?';
        return Answer(QByteArray(1, c));
    }
    if (m_profileRemaining == 0 && command == "2") {
        ++m_eraseFramesHeard;
        const qint64 n = m_eraseFramesHeard;
        if (m_faults.eraseNak < 0 || n <= m_faults.eraseNak) {
            SimAnswer a = Answer(QByteArray(1, kNak));
            a.delayMs += m_faults.eraseDelayMs;
            return a;
        }
        m_requests.append(QString::fromLatin1(command));
        QByteArray reply(1, kAck);
        Execute(command, reply);
        SimAnswer a = Answer(reply);
        if (m_faults.eraseLost < 0 || n <= m_faults.eraseLost)
            a.bytes.clear();
        a.delayMs += m_faults.eraseDelayMs;
        return a;
    }
    m_requests.append(QString::fromLatin1(command));
    QByteArray reply(1, kAck);
    Execute(command, reply);
    return Answer(reply);
}

void SimulatedReader::Execute(const QByteArray& command, QByteArray& reply) {
    if (m_profileRemaining > 0) {
        // After "Pnn" the next nn frames are the profile's lines, whatever
        // they look like.
        m_profile.append(command);
        --m_profileRemaining;
        return;
    }
    const char op = command.isEmpty() ? '\0' : command[0];
    const bool single = command.size() == 1;
    if (single && (op == 'A' || op == 'B')) {
        reply += RecordToSend(StatusRecord(op), 0, op);
    } else if (single && op == '0') {
        m_cursor = m_registrations.isEmpty() ? -1 : 0;
        if (m_cursor == 0)
            reply += RecordToSend(m_registrations[0], 1, 0);
    } else if (single && op == '2') {
        m_eraseWindowMs = std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - m_lastStatusB)
                              .count();
        m_erased += int(m_registrations.size());
        m_registrations.clear();
        m_cursor = -1;
    } else if (single && op == '3') {
        m_enabled = true;
    } else if (single && op == '6') {
        m_enabled = false;
    } else if (op == '4') {
        if (const auto key = Digits(command.mid(1, 5)))
            m_keys.remove(*key);
    } else if (op == '5') {
        if (const auto key = Digits(command.mid(1, 5)))
            m_keys[*key] = command.mid(6);
    } else if (op == 'P') {
        m_profileAnnounced = Digits(command.mid(1)).value_or(0);
        m_profileRemaining = m_profileAnnounced;
        m_profile.clear();
    } else if (single && op == 'C') {
        ++m_resets;
        m_cursor = -1;
    } else if (single && op == 'R') {
        m_byProfile = true;
    } else if (op == '1' && command.size() == 12) {
        m_lastClockSet = command.mid(1);
        const auto yy = Digits(command.mid(1, 2)), mm = Digits(command.mid(3, 2)),
                   dd = Digits(command.mid(5, 2)), hh = Digits(command.mid(8, 2)),
                   nn = Digits(command.mid(10, 2));
        if (yy && mm && dd && hh && nn) {
            const QDateTime set(QDate(2000 + *yy, *mm, *dd), QTime(*hh, *nn));
            if (set.isValid()) {
                if (m_fixedClock) {
                    m_fixedClock = set;
                } else {
                    m_offsetSeconds = m_clock().secsTo(set);
                }
            }
        }
    } else if (op == 'L') {
        switch (Digits(command.mid(1)).value_or(0)) {
            case 1:
                m_alarmOn = true;
                break;
            case 2:
                m_alarmOn = false;
                break;
            case 3:
                m_alarmsEnabled = true;
                break;
            case 4:
                m_alarmsEnabled = false;
                break;
            default:
                break;
        }
    }
}

SimAnswer SimulatedReader::OnControl(char byte) {
    std::lock_guard lock(m_mutex);
    CatchUpTrafficLocked();
    if (byte == kAck) {
        ++m_acks;
        if (m_cursor < 0 || m_faults.silent)
            return {};
        ++m_cursor;
        if (m_cursor >= m_registrations.size()) {
            m_cursor = -1;
            return {};
        }
    } else if (byte == kNak) {
        ++m_naks;
        if (m_cursor < 0 || m_faults.silent)
            return {};
    } else {
        return {};
    }
    return Answer(RecordToSend(m_registrations[m_cursor], m_cursor + 1, 0));
}

QJsonObject SimulatedReader::Snapshot() const {
    std::lock_guard lock(m_mutex);
    QJsonObject o;
    o["address"] = QString(m_address);
    o["clock"] = NowLocked().toString(Qt::ISODate);
    o["clockFixed"] = bool(m_fixedClock);
    o["enabled"] = m_enabled;
    o["byProfile"] = m_byProfile;
    o["alarmsEnabled"] = m_alarmsEnabled;
    o["alarmOn"] = m_alarmOn;
    o["resets"] = m_resets;
    o["erased"] = m_erased;
    o["lastClockSet"] = QString::fromLatin1(m_lastClockSet);
    QJsonArray keys;
    for (auto it = m_keys.begin(); it != m_keys.end(); ++it) {
        keys.append(QJsonObject{{"key", it.key()}, {"extra", QString::fromLatin1(it.value())}});
    }
    o["keys"] = keys;
    QJsonArray profile;
    for (const auto& line : m_profile) profile.append(QString::fromLatin1(line));
    o["profile"] = QJsonObject{{"announced", m_profileAnnounced}, {"lines", profile}};
    QJsonArray regs;
    for (const auto& r : m_registrations) {
        QJsonObject reg{{"text", QString::fromLatin1(r.left(17))},
                        {"hex", QString::fromLatin1(r.toHex())}};
        reg["code"] = QString::fromLatin1(r.mid(1, 2));
        if (const auto key = Digits(r.mid(11, 5)))
            reg["key"] = *key;
        reg["moment"] = QString::fromLatin1(r.mid(3, 2) + "-" + r.mid(5, 2) + " " + r.mid(7, 2) +
                                            ":" + r.mid(9, 2));
        regs.append(reg);
    }
    o["registrations"] = regs;
    o["heard"] = QJsonArray::fromStringList(m_heard);
    o["requests"] = QJsonArray::fromStringList(m_requests);
    o["acks"] = m_acks;
    o["naks"] = m_naks;
    return o;
}
