#pragma once

#include <QCoroTask>
#include <QObject>
#include <QPointer>

namespace velto {

// Starts a coroutine nobody awaits ("start a new task"). QCoro tasks are eager and free
// themselves when they finish, so the caller may drop the handle; `what` names the task in
// the log should it ever end with an exception (QCoro 0.8 would swallow it silently).
void startTask(QCoro::Task<> task, const char* what = "task");

// Guard for coroutines in QObject methods: take one before the first co_await and check
// alive() after each one; the object may have been destroyed while the coroutine waited.
template <typename T>
class Guard {
public:
    explicit Guard(T* owner) : m_owner(owner) {}
    bool alive() const { return !m_owner.isNull(); }
    T* get() const { return m_owner.data(); }

private:
    QPointer<T> m_owner;
};

} // namespace velto
