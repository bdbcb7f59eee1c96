// Test helper: draws N ids from the counter "FICHADAS" of the alias in the
// given settings file and prints one per line. Two of these at once stand for
// the agents of two stations.

#include <QCoreApplication>
#include <cstdio>

#include "db/TDM.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: id_drawer SETTINGS COUNT\n");
        return 2;
    }
    RegistryFile::SetProcessPath(QString::fromLocal8Bit(argv[1]));
    const int count = QString::fromLocal8Bit(argv[2]).toInt();
    try {
        TDM dm;
        dm.SetBusyTimeout(30000);
        dm.Open();
        for (int i = 0; i < count; ++i) std::printf("%d\n", dm.GetNewId("FICHADAS"));
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.Message().toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
