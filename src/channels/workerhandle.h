#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>

// A worker that reads on a session's reading thread, as its owner on another thread holds it:
// calls are queued to it in order, and it is deleted on its own thread, by the owner or by
// that thread when it finishes first. Without a thread, the worker lives on the owner's and
// calls run at once.
template <typename Worker> class WorkerHandle
{
public:
    WorkerHandle(Worker *worker, QThread *thread) : m_worker(worker)
    {
        if (thread) {
            m_worker->moveToThread(thread);
            QObject::connect(thread, &QThread::finished, m_worker, &QObject::deleteLater);
        }
    }
    ~WorkerHandle()
    {
        if (!m_worker)
            return;
        if (m_worker->thread() == QThread::currentThread())
            delete m_worker;
        else
            m_worker->deleteLater();
    }
    WorkerHandle(const WorkerHandle &) = delete;
    WorkerHandle &operator=(const WorkerHandle &) = delete;

    // Null once the thread has taken the worker with it.
    Worker *get() const { return m_worker.data(); }
    Worker *operator->() const { return m_worker.data(); }
    explicit operator bool() const { return !m_worker.isNull(); }

    template <typename Call> void call(Call call)
    {
        if (!m_worker)
            return;
        if (m_worker->thread() == QThread::currentThread())
            call(*m_worker);
        else
            QMetaObject::invokeMethod(
                m_worker, [worker = m_worker.data(), call] { call(*worker); },
                Qt::QueuedConnection);
    }

private:
    QPointer<Worker> m_worker;
};
