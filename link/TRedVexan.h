#pragma once
// The first-generation request/acknowledge protocol of the access readers on
// one serial line. Several readers share the line; each request frame names
// one by its address letter (SetAddress).
//
// Ownership: owns its port (a TSerialPort unless one is handed in) and the
// selected reader's status Data(). One thread uses it (the communication
// thread); one exchange at a time.
//
// Exchanges:
// - command: write the request frame, read one answer byte; ACK ends it,
//   anything else (or no answer in time) sends the frame again;
// - status record ("A" clock, "B" status): write the frame, read ACK and an
//   18-byte record; a good pair is acknowledged with ACK, anything else sends
//   the frame again;
// - registrations (command "0"): after its ACK the reader sends one record per
//   ACK of the agent and repeats a record after a NAK.
// Attempts are counted with a wide counter and tested (Attempt > MaxRetries)
// before the answer is looked at: with MaxRetries 3 at most four frames go
// out and only the first three answers count; MaxRetries 0 always fails.
// Before each request frame, NAK and ACK of the agent, bytes that arrived
// unasked (a late answer to an earlier, abandoned attempt) are discarded, so
// they are never taken for the answer to the next request. Every write and
// read goes through the line's echo layer (LineEcho, mode from the setting
// "Eco"); an echo that is missing where one is due, or differs, fails that
// try of the exchange like a garbled answer.
//
// Throws (every operation but Connect, Disconnect, SetAddress and the
// static helpers):
//   Exception "El puerto esta cerrado"                 port not open; nothing sent
//   Exception "No se ha inicializado el reloj"         ReadRegistrations/ClearMemory
//                                                      before Initialize
//   Exception "Se supero la cantidad maxima de intentos de comunicación"
//   EConvertError                                      status record fields not numbers
//   EWriteTimeout, EWin32Error, EOSError               from the port, unchanged
// Read time-outs never leave an exchange: they count as failed attempts.

#include <QByteArray>
#include <QChar>
#include <QString>
#include <functional>
#include <memory>

#include "link/BytePort.h"
#include "link/LineEcho.h"
#include "link/TListaFichadas.h"
#include "link/TRegistrador_Data.h"
#include "shell/Clock.h"

class TRedVexan {
public:
    // Production: a termios TSerialPort. The clock dates registrations (the
    // year rule) and sets readers' clocks.
    explicit TRedVexan(ClockFn clock = SystemClock());
    // Tests and tools: any port (MemoryPort, a TSerialPort on a pseudo-terminal).
    TRedVexan(std::unique_ptr<BytePort> port, ClockFn clock);
    virtual ~TRedVexan();
    TRedVexan(const TRedVexan&) = delete;
    TRedVexan& operator=(const TRedVexan&) = delete;

    // Expects a closed port; sets both queue sizes to 1000, then opens. False
    // when the port could not be opened (ConnectError() says why); never throws.
    bool Connect();
    void Disconnect();
    TParams& Params();
    BytePort& Port() { return *m_port; }
    // The open error of the last Connect that failed; empty after a success.
    const QString& ConnectError() const { return m_connectError; }

    // Called on the caller's thread after every registration record that
    // ReadRegistrations received (and acknowledged): a long read is progress
    // to the caller (the service's watchdog), not silence. Must not throw.
    using ProgressFn = std::function<void()>;
    void SetProgress(ProgressFn progress) { m_progress = std::move(progress); }
    // How the line's echo of the agent's own bytes is handled (automatic
    // after construction). Takes effect at the next write.
    void SetEchoMode(EchoMode mode) { m_echo.SetMode(mode); }
    const LineEcho& Echo() const { return m_echo; }

    quint16 MaxRetries() const { return m_maxRetries; }
    void SetMaxRetries(quint16 v) { m_maxRetries = v; }

    // Selects the reader; it counts as not initialised until Initialize.
    void SetAddress(QChar letter);
    const TRegistrador_Data& Data() const { return m_data; }

    // Reads status records A and B into Data(); only when both decoded are
    // they stored and Inicializado set (Rechazadas 0).
    void Initialize();
    // Clears lista, then reads the Cantidad registrations announced by the
    // last Initialize. A record that checks but does not decode is counted in
    // Data().Rechazadas and still acknowledged. On failure lista keeps the
    // entries decoded so far; the reader's memory is untouched.
    void ReadRegistrations(TListaFichadas& lista);
    // Every record of the last ReadRegistrations that passed its check, in
    // the order the reader sent them, undecodable ones included (18 bytes
    // each); lista's SourceRecord indexes into it. Emptied when a
    // ReadRegistrations starts; after a failed one it holds the records
    // received so far.
    const QList<QByteArray>& LastRecords() const { return m_lastRecords; }
    // Requests status record B again and returns the number of registrations
    // the reader holds now. Data() is left as the last Initialize read it.
    // Requires Initialize; throws as Initialize does.
    qint32 RequestCount();
    void ClearMemory();
    void EnableAll();
    void DisableAll();
    void RemoveKey(qint32 key);
    void AddKey(qint32 key);

    // STX 'R' + command + ETX + check; command starts with the address letter
    // (this helper has no selected reader). Returns the length.
    static int BuildFrame(QByteArray& frame, const QByteArray& command);
    static quint8 Checksum(const QByteArray& data, int len);
    static bool CheckFrame(const QByteArray& data, int len);

protected:
    void RequireOpen() const;
    // One command exchange with retries, to the selected reader.
    void SendCommand(const QByteArray& command);
    const ClockFn& Clock() const { return m_clock; }

private:
    QByteArray RequestRecord(char letter);
    // One answer byte; -1 when nothing came in time.
    int ReadAnswer();
    // One 18-byte record; false when it is short, late or fails its check.
    bool ReadRecord(QByteArray& record);
    // False when the echo of what was written says it went out damaged.
    bool WriteControl(char byte);
    bool WriteFrame(const QByteArray& command);
    [[noreturn]] void TooManyAttempts() const;

    std::unique_ptr<BytePort> m_port;
    LineEcho m_echo;  // refers to *m_port: declared after it
    ClockFn m_clock;
    TRegistrador_Data m_data;
    quint16 m_maxRetries = 3;
    QString m_connectError;
    QList<QByteArray> m_lastRecords;
    ProgressFn m_progress;
};
