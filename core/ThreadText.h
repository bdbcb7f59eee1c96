#pragma once
// Texts shared by the communication thread's sources (cycle, collection,
// commands). Internal to the thread; nothing here is part of its contract.

#include <QString>
#include <exception>

#include "shell/Errors.h"

namespace ThreadText {

// The session log's source name for every line the thread writes.
inline const QString kSource = QStringLiteral("ComThread");
// The state of a row whose step is still running.
inline const QString kInProgress = QStringLiteral("En proceso ...");

// The operator's text of an exception: the message of the agent's own
// exceptions, the local 8-bit text of any other.
inline QString MessageOf(const std::exception& e) {
    if (auto* known = dynamic_cast<const Exception*>(&e))
        return known->Message();
    return QString::fromLocal8Bit(e.what());
}

// Gives a text a value for the life of a scope and empties it at the end,
// also when an exception leaves the scope.
class ScopedText {
public:
    ScopedText(QString& text, QString value) : m_text(text) { m_text = std::move(value); }
    ~ScopedText() { m_text.clear(); }
    ScopedText(const ScopedText&) = delete;
    ScopedText& operator=(const ScopedText&) = delete;

private:
    QString& m_text;
};

}  // namespace ThreadText
