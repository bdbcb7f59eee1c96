// What `cmake --install` puts where: the programs, the desktop and autostart
// entries that start the agent with its window, the icon, the service unit and
// the schema files.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include "tests/support/TestSupport.h"

namespace {

// The one installed file whose path ends with `tail`; empty when none.
QString Installed(const QStringList& files, const QString& tail) {
    const QStringList found =
        files.filter(QRegularExpression(QRegularExpression::escape(tail) + "$"));
    return found.size() == 1 ? found.first() : QString();
}

QString Value(const QString& desktopFile, const QString& key) {
    for (const QString& line : QString::fromUtf8(ReadAll(desktopFile)).split('\n'))
        if (line.startsWith(key + "="))
            return line.mid(key.size() + 1);
    return {};
}

}  // namespace

TEST(Packaging, InstallPutsProgramsEntriesAndDataInTheirPlaces) {
    ScratchDir root;
    QProcess install;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DESTDIR", root.Path());
    install.setProcessEnvironment(env);
    install.start("cmake", {"--install", BuildDir()});
    ASSERT_TRUE(install.waitForFinished(60000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAllStandardError().toStdString();

    QStringList files;
    QDirIterator it(root.Path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) files << it.next().mid(root.Path().size());

    for (const char* program : {"/bin/agente", "/bin/kelvordb", "/bin/simulador"}) {
        const QString path = Installed(files, program);
        ASSERT_FALSE(path.isEmpty()) << program << "\n" << files.join("\n").toStdString();
        EXPECT_TRUE(QFileInfo(root.Path() + path).isExecutable()) << program;
    }
    const QString bin = QFileInfo(Installed(files, "/bin/agente")).path();

    const QString menu = Installed(files, "/share/applications/kelvor-agente.desktop");
    ASSERT_FALSE(menu.isEmpty());
    EXPECT_EQ(Value(root.Path() + menu, "Type"), "Application");
    EXPECT_EQ(Value(root.Path() + menu, "Exec"), bin + "/agente");
    EXPECT_EQ(Value(root.Path() + menu, "Icon"), "kelvor-agente");

    const QString autostart = Installed(files, "/xdg/autostart/kelvor-agente.desktop");
    ASSERT_FALSE(autostart.isEmpty());
    EXPECT_TRUE(autostart.startsWith("/etc/") || autostart.contains("/etc/xdg/"))
        << autostart.toStdString();
    // The window agent (it starts minimized by itself), never the service.
    EXPECT_EQ(Value(root.Path() + autostart, "Exec"), bin + "/agente");
    EXPECT_EQ(Value(root.Path() + autostart, "X-GNOME-Autostart-enabled"), "true");

    EXPECT_FALSE(Installed(files, "/icons/hicolor/scalable/apps/kelvor-agente.svg").isEmpty());
    EXPECT_FALSE(Installed(files, "/systemd/system/kelvor-agente.service").isEmpty());
    EXPECT_FALSE(Installed(files, "/kelvor/schema/sqlite.sql").isEmpty());
    EXPECT_FALSE(Installed(files, "/kelvor/schema/postgresql.sql").isEmpty());
}
