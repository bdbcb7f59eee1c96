#pragma once
// The floor of the line figure as a program can reach it on this simulated
// line: the read pass of the reader protocol done by the simplest possible
// client (open the terminal raw at the line's speed, write the request frame,
// then read each 18-byte record with poll/read and answer ACK), without the
// agent's link. Its time over the wire time is what the simulated line itself
// costs; the agent's time over this one is what the link adds.
//
// The same for a command exchange (a frame and the reader's ACK).
//
// Failures (no answer within the time-out, a short or bad record) throw
// Exception. One thread.

#include <QByteArray>
#include <QString>

class PlainLineClient {
public:
    PlainLineClient(const QString& device, int baud);
    ~PlainLineClient();
    PlainLineClient(const PlainLineClient&) = delete;
    PlainLineClient& operator=(const PlainLineClient&) = delete;

    // Sends "0" to the reader at `address` and reads `registrations` records,
    // acknowledging each; returns the seconds from the frame to the last ACK.
    double ReadPass(char address, int registrations);
    // Sends one command text to the reader at `address` and waits for its
    // ACK; returns the seconds from the frame to the ACK.
    double Command(char address, const QByteArray& text);

private:
    void WriteAll(const char* data, int n);
    void ReadExactly(char* data, int n, int timeoutMs);
    void WriteFrame(char address, const QByteArray& text);
    void ExpectAck(const QString& what);

    int m_fd = -1;
};
