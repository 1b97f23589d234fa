#pragma once

#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// One thread that does a run's disk work, so the thread that drives the transfers never waits on
// the disk. Work runs in the order it was posted; its follow-up comes back to the thread of a
// context object (and is dropped when that object is gone). Work posted before the writer is
// destroyed is still done, so files it was to remove are removed.
class DiskWriter {
public:
    DiskWriter();
    ~DiskWriter();
    DiskWriter(const DiskWriter&) = delete;
    DiskWriter& operator=(const DiskWriter&) = delete;

    void post(std::function<void()> work, QObject* context = nullptr, std::function<void()> then = {});
    // As post(), but the follow-up comes back only when the work says so (it returns true): work
    // that rarely needs an answer costs the waiting thread no wake-up.
    void postAnswering(std::function<bool()> work, QObject* context, std::function<void()> then);

private:
    struct Task {
        std::function<bool()> work;
        QPointer<QObject> context;
        std::function<void()> then;
    };
    void serve();

    // Lives in the thread that made the writer, where follow-ups run and contexts are checked.
    QObject* m_home;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_tasks;
    bool m_stopping = false;
    std::thread m_thread;
};
