#pragma once
// The line parameters of one port. Owned by its port (BytePort); created and
// freed with it; holds a reference back to the owner.
//
// Every setter stores its value and then asks the owner to Reopen: on a closed
// port that only stores, on an open port the port is closed and opened again
// with the new value (which may throw the port's open error).
//
// The five line time-outs are computed by the port at Open from the speed and
// framing (ComputeLineTimeouts) and stored here; reading any field has no side
// effect. Used by the thread that uses the port.

#include <QString>

class BytePort;

// The device's time-out record, all in ms.
struct LineTimeouts {
    quint32 readInterval = 0;          // longest gap between two bytes of one read
    quint32 readTotalMultiplier = 0;   // per requested byte
    quint32 readTotalConstant = 0;     // fixed part (the configured read time-out)
    quint32 writeTotalMultiplier = 0;  // per byte written
    quint32 writeTotalConstant = 0;    // fixed part (the configured write time-out)
    bool operator==(const LineTimeouts&) const = default;
};

class TParams {
public:
    explicit TParams(BytePort& owner) : m_owner(owner) {}
    TParams(const TParams&) = delete;
    TParams& operator=(const TParams&) = delete;

    QString Port() const { return m_port; }
    qint32 BaudRate() const { return m_baudRate; }
    qint32 ByteSize() const { return m_byteSize; }
    quint8 Parity() const { return m_parity; }      // 0 none, 1 odd, 2 even, 3 mark, 4 space
    quint8 StopBits() const { return m_stopBits; }  // 0 one, 1 one and a half, 2 two
    qint32 InQueueSize() const { return m_inQueueSize; }
    qint32 OutQueueSize() const { return m_outQueueSize; }
    qint32 ReadTimeout() const { return m_readTimeout; }    // ms
    qint32 WriteTimeout() const { return m_writeTimeout; }  // ms

    quint32 ReadIntervalTimeout() const { return m_timeouts.readInterval; }
    quint32 ReadTotalTimeoutMultiplier() const { return m_timeouts.readTotalMultiplier; }
    quint32 ReadTotalTimeoutConstant() const { return m_timeouts.readTotalConstant; }
    quint32 WriteTotalTimeoutMultiplier() const { return m_timeouts.writeTotalMultiplier; }
    quint32 WriteTotalTimeoutConstant() const { return m_timeouts.writeTotalConstant; }
    const LineTimeouts& Timeouts() const { return m_timeouts; }

    void SetPort(const QString& v);
    void SetBaudRate(qint32 v);
    void SetByteSize(qint32 v);
    void SetParity(quint8 v);
    void SetStopBits(quint8 v);
    void SetInQueueSize(qint32 v);
    void SetOutQueueSize(qint32 v);
    void SetReadTimeout(qint32 v);
    void SetWriteTimeout(qint32 v);

    // The time-outs for the given speed and framing:
    //   T = 10,000,000 / baud rounded (ten bit times in us),
    //   B = data bits + 1 start + stop (code 0 -> 1, 1 and 2 -> 2) + parity (0 or 1),
    //   interval = (T * B * 2) div 1000, multiplier = (T + 999) div 1000 + 1,
    //   constants = the configured read and write time-outs (negative ones as 0).
    // Throws Exception with the system's text for "invalid argument" when the
    // speed is not positive.
    static LineTimeouts ComputeLineTimeouts(qint32 baudRate, qint32 byteSize, quint8 parity,
                                            quint8 stopBits, qint32 readTimeout,
                                            qint32 writeTimeout);
    // Computes from the current values and stores them (called by the port's Open).
    void UpdateLineTimeouts();

private:
    BytePort& m_owner;
    QString m_port = QStringLiteral("Com1");
    qint32 m_baudRate = 9600;
    qint32 m_byteSize = 8;
    quint8 m_parity = 0;
    quint8 m_stopBits = 0;
    qint32 m_inQueueSize = 1000;
    qint32 m_outQueueSize = 1000;
    qint32 m_readTimeout = 1000;
    qint32 m_writeTimeout = 1000;
    LineTimeouts m_timeouts;
};
