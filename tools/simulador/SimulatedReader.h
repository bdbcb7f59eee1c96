#pragma once
// One simulated access reader on a simulated line: its clock, stored
// registrations, key table, profile, alarm and enable state, a log of the
// requests it heard and accepted, and the faults it is told to show.
//
// It answers the way the readers' protocol describes: ACK to every accepted
// request; after "A" and "B" the status record; after "0" the first stored
// registration, then the next one after each ACK and the same one again after
// a NAK; "2" erases the stored registrations. Every request frame ends a
// transfer of registrations: a new "0" starts again from the first one. Frames with a bad check, or
// for another address, never reach it (the line drops them).
//
// Threads: every public method locks the reader, so a test or a control
// channel may configure and inspect it while the line's thread serves it.
// Faults that involve chance draw from a generator seeded at construction, so
// a run is reproducible from its seed.

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QStringList>
#include <chrono>
#include <mutex>
#include <optional>
#include <random>

#include "shell/Clock.h"

// Faults of one reader. Counts of -1 mean "always".
struct SimFaults {
    bool silent = false;          // never answers anything
    qint64 nakFirst = 0;          // answers NAK to the first n request frames
    qint64 garbageFirst = 0;      // answers a byte other than ACK to the first n frames
    int badCheckRecord = 0;       // registration number k (1-based) goes out with a wrong check
    char badCheckStatus = 0;      // 'A' or 'B': that status record goes out with a wrong check
    bool badCheckAlways = false;  // every time, not only the first
    int shortBytes = -1;          // records are cut to this many bytes (-1: whole)
    qint64 shortCount = -1;       // how many records are cut
    int delayMs = 0;              // pause before every answer
    bool lineSpeed = false;       // answers go out one byte per byte time of the line
    double noise = 0;             // chance per answer byte of being corrupted or lost
    qint64 eraseNak = 0;          // answers NAK to the first n "2" frames (nothing erased)
    qint64 eraseLost = 0;         // erases on the first n "2" frames but the ACK never comes
    int eraseDelayMs = 0;         // extra pause before the answer to a "2" frame
    int chunkMax = 0;             // answers go out in pieces of 1..chunkMax bytes (0: whole)
    int chunkPauseMs = 0;         // pause between two pieces
    int latencyMs = 0;            // an adapter's latency timer: bytes handed on only every n ms
    int trafficMs = 0;            // a key presented every n ms from SetFaults on (0: none)
};

// What the reader sends back for one event: bytes, after a delay, paced or
// not; pauseBeforeMs (empty, or one entry per byte) holds the pause before
// each byte; latencyMs > 0 holds every byte back to the next tick of that
// period counted from the answer's start, as a USB adapter's latency timer.
struct SimAnswer {
    QByteArray bytes;
    int delayMs = 0;
    bool paced = false;
    QList<int> pauseBeforeMs;
    int latencyMs = 0;
};

class SimulatedReader {
public:
    // clock: the computer's clock, from which the reader's own is offset.
    SimulatedReader(QChar address, ClockFn clock, quint32 seed);

    QChar Address() const { return m_address; }

    // Configuration.
    void SetClockOffset(qint64 seconds);        // reader clock = computer clock + offset
    void SetFixedClock(const QDateTime& when);  // a clock that stands still
    QDateTime Now() const;
    void SetTexto(const QByteArray& five);                      // record A, characters 12-16
    void SetStatusText(char letter, const QByteArray& text17);  // replaces record A or B
    void AddRegistration(const QByteArray& code, qint32 key, const QDateTime& moment);
    void AddRawRecord(const QByteArray& record);  // 18 bytes as sent, check included
    void AddRawText(const QByteArray& text17);    // check byte computed
    void AddKey(qint32 key, const QByteArray& extra = {});
    void SetEnabled(bool enabled);
    void SetBaud(qint32 baud);  // 0: understands any speed
    qint32 Baud() const;
    void SetFaults(const SimFaults& faults);
    SimFaults Faults() const;
    void ClearLog();
    void ClearRegistrations();

    // Inspection.
    QStringList Heard() const;     // command texts of every frame for this address
    QStringList Requests() const;  // command texts it accepted (answered ACK)
    int AcksReceived() const;
    int NaksReceived() const;
    QList<QByteArray> Registrations() const;  // stored records, 18 bytes each
    QMap<qint32, QByteArray> Keys() const;    // key -> extra characters ("" first generation)
    bool Enabled() const;
    bool ByProfile() const;
    bool AlarmsEnabled() const;
    bool AlarmOn() const;
    int Resets() const;
    int Erased() const;                 // registrations erased by "2"
    QList<QByteArray> Profile() const;  // lines of the last profile
    int ProfileAnnounced() const;
    QByteArray LastClockSet() const;  // the text of the last "1" command
    // Keys the traffic fault has presented (keys 50001, 50002, ...), counted
    // when the reader last served a frame, an ACK or a NAK, or SetFaults.
    int TrafficAdded() const;
    // Milliseconds from the last "B" frame (the count the agent saw) to the
    // last erase: keys presented in between are erased unread. -1 before.
    double EraseWindowMs() const;
    QJsonObject Snapshot() const;

    // Served by the line (its thread).
    SimAnswer OnFrame(const QByteArray& command);
    SimAnswer OnControl(char byte);  // ACK or NAK outside a frame

private:
    QDateTime NowLocked() const;
    QByteArray StatusRecord(char letter) const;
    QByteArray RecordToSend(const QByteArray& record, int registrationNumber, char status);
    SimAnswer Answer(QByteArray bytes);
    void AddLocked(const QByteArray& code, qint32 key, const QDateTime& moment);
    void CatchUpTrafficLocked();
    void Execute(const QByteArray& command, QByteArray& reply);

    mutable std::mutex m_mutex;
    const QChar m_address;
    ClockFn m_clock;
    std::mt19937 m_random;

    qint64 m_offsetSeconds = 0;
    std::optional<QDateTime> m_fixedClock;
    QByteArray m_texto = "00000";
    QMap<char, QByteArray> m_statusText;
    QList<QByteArray> m_registrations;
    QMap<qint32, QByteArray> m_keys;
    bool m_enabled = true;
    bool m_byProfile = false;
    bool m_alarmsEnabled = false;
    bool m_alarmOn = false;
    int m_resets = 0;
    int m_erased = 0;
    QList<QByteArray> m_profile;
    int m_profileAnnounced = 0;
    int m_profileRemaining = 0;
    QByteArray m_lastClockSet;
    qint32 m_baud = 0;

    int m_cursor = -1;  // registration being sent after "0"; -1 when not sending
    SimFaults m_faults;
    qint64 m_framesHeard = 0;
    qint64 m_eraseFramesHeard = 0;
    qint64 m_recordsCut = 0;
    QList<int> m_badCheckDone;  // registration numbers already sent bad once
    QList<char> m_badStatusDone;
    std::chrono::steady_clock::time_point m_trafficStart, m_lastStatusB;
    int m_trafficAdded = 0, m_trafficBase = 0;
    double m_eraseWindowMs = -1;

    QStringList m_heard;
    QStringList m_requests;
    int m_acks = 0;
    int m_naks = 0;
};
