#pragma once
// The second-generation reader protocol: everything of TRedVexan (framing,
// exchanges, status, registrations, first-generation commands), plus the
// commands of the newer readers. The agent uses one of these for every
// reader of its line, old or new; the caller picks the operation per reader.
//
// Every operation first requires an open port ("El puerto esta cerrado",
// nothing sent); none requires Initialize. Each is one or more command
// exchanges and fails like TRedVexan's (see there). A command that fails
// part-way (a profile) is not rolled back on the reader.
// Ownership and threads: as TRedVexan.

#include "link/TRedVexan.h"

class TRedKelvorII : public TRedVexan {
public:
    // compat: profile lines are 9 characters wide instead of 10 (fixed for
    // the object's life).
    explicit TRedKelvorII(bool compat, ClockFn clock = SystemClock());
    TRedKelvorII(bool compat, std::unique_ptr<BytePort> port, ClockFn clock);

    bool Compat() const { return m_compat; }

    // "5" + key as five digits + c1 + c2; with c1 or c2 "-" the
    // first-generation AddKey ("5" + key).
    void AddKeyEx(qint32 key, QChar c1, QChar c2);
    // "P" + the first two characters of text, then that many lines of Width
    // characters from position 3 on, each its own exchange, sent unchanged
    // (shorter or empty when the text is short). A count that is not a
    // number throws EConvertError after "P" was acknowledged; a count of 0 or
    // less sends only "P".
    void SendProfile(const QString& text);
    void ResetRegister();    // "C"
    void EnableByProfile();  // "R"
    // "1" + yymmdd + w + hhmm of the clock: w 1 (Sunday) .. 7 (Saturday) for
    // SetClock, 0 .. 6 for SetClockHta.
    void SetClock();
    void SetClockHta();
    void SetAlarm(quint8 d);  // "L" + d in decimal
    void EnableAlarms();      // SetAlarm(3)
    void DisableAlarms();     // SetAlarm(4)
    void AlarmOn();           // SetAlarm(1)
    void AlarmOff();          // SetAlarm(2)

private:
    bool m_compat;
};
