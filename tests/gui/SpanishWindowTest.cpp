// Qt's standard buttons and the system's error texts as the operator meets
// them: the agent's translator installed as the agente installs it at
// start-up, then the real options, password and retry boxes of the window.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>
#include <QTreeWidgetItem>

#include "shell/SpanishTexts.h"
#include "shell/TDlgConfig.h"
#include "shell/TFPsw.h"
#include "tests/gui/WindowBench.h"

namespace {

// The translator for the length of a test (other tests of this program run
// in the same process when it is started by hand).
class SpanishQt {
public:
    SpanishQt() : m_translator(SpanishTexts::InstallQtTranslation(*qApp)) {}
    ~SpanishQt() {
        if (m_translator) {
            QCoreApplication::removeTranslator(m_translator);
            delete m_translator;
        }
    }
    bool Installed() const { return m_translator != nullptr; }

private:
    QTranslator* m_translator;
};

bool InCi() {
    return qEnvironmentVariable("CI") == "true";
}

// What Debian ships for this (qt6-translations-l10n, a Spanish locale) must be
// there in CI; elsewhere its absence skips the test with the reason.
#define REQUIRE_INSTALLED(present, what)                                  \
    do {                                                                  \
        if (!(present)) {                                                 \
            if (InCi())                                                   \
                FAIL() << what << " missing (scripts/install-deps)";      \
            GTEST_SKIP() << what << " missing: run scripts/install-deps"; \
        }                                                                 \
    } while (0)

QStringList ButtonTexts(QWidget* window) {
    QStringList texts;
    for (QAbstractButton* button : window->findChild<QDialogButtonBox*>()->buttons())
        texts << button->text().remove('&');
    texts.sort();
    return texts;
}

void Click(QWidget* window, QDialogButtonBox::StandardButton which) {
    window->findChild<QDialogButtonBox*>()->button(which)->click();
}

}  // namespace

// The options and password windows from the menu, with PSW on. With
// KELVOR_OPTIONS_SCREENSHOT set, the options dialog is saved there as a
// picture (docs/options-screenshot.sh).
TEST(Spanish, OptionsAndPasswordWindowsHaveSpanishButtons) {
    SpanishQt spanish;
    REQUIRE_INSTALLED(spanish.Installed(), "Qt's Spanish translations (qtbase_es.qm)");
    WindowBench b;
    b.Exec("INSERT INTO Usuario (Nombre, Clave, Administrador) VALUES ('jefe', 'clave', 1)");
    b.config.PSW = true;
    TMainForm& form = b.Start();

    QStringList password, options;
    OnNextModal([&](QWidget* modal) {
        ASSERT_NE(qobject_cast<TFPsw*>(modal), nullptr);
        password = ButtonTexts(modal);
        modal->findChild<QLineEdit*>("TxtPsw")->setText("clave");
        Click(modal, QDialogButtonBox::Ok);
        OnNextModal([&](QWidget* next) {
            ASSERT_NE(qobject_cast<TDlgConfig*>(next), nullptr);
            options = ButtonTexts(next);
            const QString picture = qEnvironmentVariable("KELVOR_OPTIONS_SCREENSHOT");
            if (!picture.isEmpty()) {
                EXPECT_TRUE(next->grab().save(picture)) << picture.toStdString();
            }
            Click(next, QDialogButtonBox::Cancel);
        });
    });
    form.ItemOpcionesClick();
    EXPECT_EQ(password, QStringList({"Aceptar", "Cancelar"}));
    EXPECT_EQ(options, QStringList({"Aceptar", "Cancelar"}));
}

// The session log's retry question: Spanish buttons, and the system's reason
// in Spanish where the machine has the Spanish locale.
TEST(Spanish, LogRetryQuestionIsSpanishThroughout) {
    SpanishQt spanish;
    REQUIRE_INSTALLED(spanish.Installed(), "Qt's Spanish translations (qtbase_es.qm)");
    REQUIRE_INSTALLED(SpanishTexts::SystemErrorsInSpanish(), "A Spanish locale (es_ES.UTF-8)");
    WindowBench b;
    WriteAll(b.dir.File("no-es-carpeta"), "x");  // the log's folder is a file
    b.setup.logFolder = b.dir.File("no-es-carpeta");
    b.setup.askRetry = {};  // the window's own box
    QStringList buttons;
    QString question;
    OnNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        buttons = ButtonTexts(box);
        question = box->text();
        box->button(QMessageBox::No)->click();
    });
    TMainForm& form = b.Create();
    EXPECT_EQ(buttons, QStringList({"No", "Sí"}));
    EXPECT_TRUE(question.contains("No es un directorio")) << question.toStdString();
    EXPECT_TRUE(b.Row(0)->text(3).contains("No es un directorio"));
    EXPECT_EQ(form.Log()->Enabled(), 0);
}
