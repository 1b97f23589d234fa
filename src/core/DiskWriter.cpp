#include "core/DiskWriter.h"

#include <QMetaObject>
#include <QObject>

DiskWriter::DiskWriter() : m_home(new QObject), m_thread([this] { serve(); }) {}

DiskWriter::~DiskWriter() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
    delete m_home;
}

void DiskWriter::post(std::function<void()> work, QObject* context, std::function<void()> then) {
    postAnswering(
        [work = std::move(work)] {
            if (work)
                work();
            return true;
        },
        context, std::move(then));
}

void DiskWriter::postAnswering(std::function<bool()> work, QObject* context, std::function<void()> then) {
    {
        const std::lock_guard lock(m_mutex);
        m_tasks.push_back({std::move(work), context, std::move(then)});
    }
    m_wake.notify_one();
}

void DiskWriter::serve() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return !m_tasks.empty() || m_stopping; });
        if (m_tasks.empty())
            return;
        Task task = std::move(m_tasks.front());
        m_tasks.pop_front();
        lock.unlock();
        const bool answer = task.work();
        // The context is looked at in its own thread only: one gone meanwhile drops the follow-up.
        if (answer && task.then)
            QMetaObject::invokeMethod(
                m_home,
                [context = std::move(task.context), then = std::move(task.then)] {
                    if (context)
                        then();
                },
                Qt::QueuedConnection);
        lock.lock();
    }
}
