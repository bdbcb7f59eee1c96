#pragma once
// Runs a short operation on the user-interface thread and waits until it has
// run. This is the only way the communication thread reaches the window, the
// session log and the settings object.
//
// Contract:
// - Called on the user-interface thread (the thread of `uiObject`): the
//   operation runs at once, directly. A blocking queued call to the own thread
//   would dead-lock, so it is never made.
// - Called on any other thread: the gate (when given) is passed first, so a
//   paused agent halts here; then the operation is queued to the
//   user-interface thread and the caller blocks until it has run. The
//   user-interface thread must be running an event loop (its main loop, or a
//   local loop while it waits for the other thread to end).
// - An exception thrown by the operation is caught on the user-interface
//   thread and re-thrown, unchanged, in the caller.
// - Throws Exception when the operation could not be queued at all.
//
// Thread safety: a UiDispatch is immutable; any thread may use it.

#include <QObject>
#include <functional>
#include <optional>

class PauseGate;

class UiDispatch {
public:
    explicit UiDispatch(QObject* uiObject, PauseGate* gate = nullptr)
        : m_target(uiObject), m_gate(gate) {}

    bool OnUiThread() const;
    void Run(const std::function<void()>& operation) const;

    template <typename R>
    R Call(const std::function<R()>& operation) const {
        std::optional<R> result;
        Run([&] { result.emplace(operation()); });
        return std::move(*result);
    }

private:
    QObject* m_target;
    PauseGate* m_gate;
};
