// Test entry for subsystems that need no display: a QCoreApplication so that
// Qt SQL, timers and threads work as in the agent.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
