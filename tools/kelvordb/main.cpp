// kelvordb: the database tool of the installation (see TDbTool.h and
// docs/kelvordb.md).

#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

#include "shell/RegistryFile.h"
#include "tools/kelvordb/TDbTool.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList args = app.arguments().mid(1);
    // Help wherever it stands on the line (after --registry F, after a verb).
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        out << TDbTool::Usage();
        return 0;
    }
    if (args.value(0) == QLatin1String("--registry")) {
        if (args.size() < 2) {
            err << "kelvordb: --registry necesita un archivo\n" << TDbTool::Usage();
            return 2;
        }
        RegistryFile::SetProcessPath(args[1]);
        args = args.mid(2);
    }
    TDbTool tool(out, err);
    const int status = tool.Run(args);
    out.flush();
    return status;
}
