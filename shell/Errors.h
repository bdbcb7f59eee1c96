#pragma once
// The failure kinds of the agent. Every failure is an exception of one of these
// kinds; the message is the text shown to the operator and written to the
// session log, so it is kept as a QString and handed out unchanged.
//
//   Exception            general failure ("El puerto esta cerrado", ...)
//   ├─ EConvertError      a text that is not a number, a date that does not exist
//   ├─ ETimeout           the line did not answer in time
//   │  ├─ EReadTimeout
//   │  └─ EWriteTimeout
//   ├─ EWin32Error        an operating-system I/O error (errno in ErrorCode)
//   ├─ EOSError           a failed wait or system call outside a transfer
//   ├─ EConnectError      "Error al conectarse !"
//   ├─ EIdError           "No pudo obtenerse el id"
//   └─ EDatabaseError     any error reported by the database engine
//
// Thread safety: the classes are immutable values; any thread may throw,
// copy or read them.

#include <QString>
#include <stdexcept>

class Exception : public std::runtime_error {
public:
    explicit Exception(const QString& message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString& Message() const noexcept { return m_message; }

private:
    QString m_message;
};

// A numeric field that is not a number, or a date or time that does not exist.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

class ETimeout : public Exception {
public:
    using Exception::Exception;
};

class EReadTimeout : public ETimeout {
public:
    using ETimeout::ETimeout;
};

class EWriteTimeout : public ETimeout {
public:
    using ETimeout::ETimeout;
};

// An I/O error of the serial device, with the errno that caused it.
class EWin32Error : public Exception {
public:
    EWin32Error(int errorCode, const QString& message) : Exception(message), m_code(errorCode) {}
    int ErrorCode() const noexcept { return m_code; }

private:
    int m_code;
};

// A system call that failed outside a read or write (a failed poll, for example).
class EOSError : public Exception {
public:
    using Exception::Exception;
};

class EConnectError : public Exception {
public:
    using Exception::Exception;
};

class EIdError : public Exception {
public:
    using Exception::Exception;
};

class EDatabaseError : public Exception {
public:
    using Exception::Exception;
};
