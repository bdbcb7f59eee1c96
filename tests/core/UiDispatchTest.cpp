// The dispatch to the user-interface thread and the pause gate, with real
// threads: the test's main thread plays the user-interface thread.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>
#include <atomic>

#include "core/PauseGate.h"
#include "core/UiDispatch.h"
#include "shell/Errors.h"

namespace {

// Runs the event loop of the calling (main) thread until `done` or the
// deadline; true when done.
bool SpinUntil(const std::function<bool()>& done, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

// Spins the event loop for a short while (for "nothing must happen" checks).
void Spin(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

}  // namespace

TEST(UiDispatch, RunsAtOnceOnTheUiThreadWithoutAnEventLoop) {
    QObject ui;
    UiDispatch dispatch(&ui);
    EXPECT_TRUE(dispatch.OnUiThread());
    int calls = 0;
    dispatch.Run([&] { ++calls; });  // a blocking queued call here would dead-lock
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(dispatch.Call<int>([] { return 41 + 1; }), 42);
}

TEST(UiDispatch, RunsTheOperationOnTheUiThreadAndHandsBackTheResult) {
    QObject ui;
    UiDispatch dispatch(&ui);
    QThread* uiThread = QThread::currentThread();
    std::atomic<bool> done{false};
    QThread* ranOn = nullptr;
    QThread* callerThread = nullptr;
    int result = 0;
    bool callerSawUiThread = true;
    QThread* worker = QThread::create([&] {
        callerThread = QThread::currentThread();
        callerSawUiThread = dispatch.OnUiThread();
        result = dispatch.Call<int>([&] {
            ranOn = QThread::currentThread();
            return 7;
        });
        done = true;
    });
    worker->start();
    ASSERT_TRUE(SpinUntil([&] { return done.load(); }));
    worker->wait();
    delete worker;
    EXPECT_FALSE(callerSawUiThread);
    EXPECT_EQ(ranOn, uiThread);
    EXPECT_NE(callerThread, uiThread);
    EXPECT_EQ(result, 7);
}

TEST(UiDispatch, ExceptionsAreRethrownInTheCallerWithTheirKind) {
    QObject ui;
    UiDispatch dispatch(&ui);
    std::atomic<bool> done{false};
    QString caughtAs;
    QString message;
    QThread* worker = QThread::create([&] {
        try {
            dispatch.Run([] { throw EReadTimeout(QStringLiteral("Timeout de lectura")); });
            caughtAs = "nothing";
        } catch (const ETimeout& e) {
            caughtAs = "ETimeout";
            message = e.Message();
        } catch (...) {
            caughtAs = "other";
        }
        done = true;
    });
    worker->start();
    ASSERT_TRUE(SpinUntil([&] { return done.load(); }));
    worker->wait();
    delete worker;
    EXPECT_EQ(caughtAs, "ETimeout");
    EXPECT_EQ(message, "Timeout de lectura");

    // On the user-interface thread the exception passes straight through.
    EXPECT_THROW(dispatch.Run([] { throw EConvertError("x"); }), EConvertError);
}

TEST(UiDispatch, AClosedGateHoldsTheRequestUntilOpened) {
    QObject ui;
    PauseGate gate(true);
    UiDispatch dispatch(&ui, &gate);
    std::atomic<bool> asking{false};
    std::atomic<bool> ran{false};
    QThread* worker = QThread::create([&] {
        asking = true;
        dispatch.Run([&] { ran = true; });
    });
    worker->start();
    ASSERT_TRUE(SpinUntil([&] { return asking.load(); }));
    Spin(50);  // the event loop runs, but the request is held at the gate
    EXPECT_FALSE(ran.load());
    EXPECT_TRUE(gate.IsClosed());

    gate.Open();
    ASSERT_TRUE(SpinUntil([&] { return ran.load(); }));
    worker->wait();
    delete worker;

    // The user-interface thread itself is never held by the gate.
    gate.Close();
    bool direct = false;
    dispatch.Run([&] { direct = true; });
    EXPECT_TRUE(direct);
}

TEST(PauseGate, PassReturnsWhileOpenAndBlocksWhileClosed) {
    PauseGate gate;
    EXPECT_FALSE(gate.IsClosed());
    gate.Pass();  // open: returns at once

    gate.Close();
    std::atomic<int> passed{0};
    QThread* worker = QThread::create([&] {
        gate.Pass();
        ++passed;
        gate.Pass();  // still open: no second block
        ++passed;
    });
    worker->start();
    Spin(50);
    EXPECT_EQ(passed.load(), 0);
    gate.Open();
    ASSERT_TRUE(worker->wait(QDeadlineTimer(5000)));
    delete worker;
    EXPECT_EQ(passed.load(), 2);
}
