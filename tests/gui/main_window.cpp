// Test entry for the main window: the agent's own application object (with
// its hook for exceptions that escape event handlers) on Qt's offscreen
// platform unless the caller chose another.
#include <gtest/gtest.h>

#include "core/AgentApplication.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    AgentApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
