#include "shell/SpanishTexts.h"

#include <locale.h>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <cstring>

namespace {

// The messages and the character set of the first Spanish locale found; the
// character set decides the bytes the C library hands out (UTF-8 here, so
// accents are not lost). Made once and kept for the whole run.
locale_t SpanishLocale() {
    static const locale_t spanish = [] {
        static const char* const names[] = {"es_ES.UTF-8", "es_AR.UTF-8", "es_MX.UTF-8",
                                            "es_UY.UTF-8", "es_CL.UTF-8", "es_US.UTF-8"};
        for (const char* name : names) {
            if (locale_t l = ::newlocale(LC_MESSAGES_MASK | LC_CTYPE_MASK, name, locale_t(0)))
                return l;
        }
        return locale_t(0);
    }();
    return spanish;
}

}  // namespace

QTranslator* SpanishTexts::InstallQtTranslation(QCoreApplication& app) {
    // Owned by the application: it must live as long as the texts are used.
    auto* translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_es"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return nullptr;
    }
    if (!QCoreApplication::installTranslator(translator)) {
        delete translator;
        return nullptr;
    }
    return translator;
}

QString SpanishTexts::SystemErrorText(int error) {
    if (locale_t spanish = SpanishLocale())
        return QString::fromUtf8(::strerror_l(error, spanish));
    return QString::fromLocal8Bit(std::strerror(error));
}

bool SpanishTexts::SystemErrorsInSpanish() {
    return SpanishLocale() != locale_t(0);
}
