#pragma once
// The agent speaks Spanish to its operator: these helpers bring the texts that
// come from outside the agent (Qt's standard buttons and boxes, the system's
// error texts) into Spanish where the machine has them.
//
// Contract:
// - InstallQtTranslation loads Qt's own Spanish catalogue (qtbase_es) from
//   Qt's translations folder and installs it on the running application,
//   whatever the system locale. It must run before the windows are made (the
//   standard buttons take their texts when they are created). Returns the
//   installed translator (owned by the application; a caller may remove and
//   delete it sooner), or nullptr, changing nothing, when the catalogue is
//   missing: the texts stay English.
// - SystemErrorText(error) is the system's text for an errno value in Spanish
//   when a Spanish locale is installed, otherwise the system's default text
//   (as strerror gives it). Never throws.
//
// Thread safety: InstallQtTranslation on the user-interface thread, once;
// SystemErrorText from any thread (the locale is made once, on first use).

#include <QString>

class QCoreApplication;
class QTranslator;

class SpanishTexts {
public:
    static QTranslator* InstallQtTranslation(QCoreApplication& app);
    static QString SystemErrorText(int error);
    // True when the system's error texts come from a Spanish locale.
    static bool SystemErrorsInSpanish();
};
