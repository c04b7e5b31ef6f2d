#pragma once
// Work for Qt's thread pool without captured functors: an item waits in a queue under our
// own mutex and a plain function takes it on the pool thread. Qt's own locks are invisible
// to the race checker; these hand-overs are not.

#include <QThreadPool>

#include <deque>
#include <memory>
#include <mutex>

namespace oxlume::imaging {

// One queue for each kind of item, oldest first.
template<typename T>
class PoolJobs {
public:
    // Queues item and has the pool run `run`, which takes it with take().
    static void start(std::shared_ptr<T> item, void (*run)())
    {
        {
            Queue &q = queue();
            const std::lock_guard lock(q.mutex);
            q.items.push_back(std::move(item));
        }
        QThreadPool::globalInstance()->start(run);
    }

    // The oldest waiting item; null when there is none.
    static std::shared_ptr<T> take()
    {
        Queue &q = queue();
        const std::lock_guard lock(q.mutex);
        if (q.items.empty())
            return nullptr;
        std::shared_ptr<T> item = std::move(q.items.front());
        q.items.pop_front();
        return item;
    }

private:
    struct Queue {
        std::mutex mutex;
        std::deque<std::shared_ptr<T>> items;
    };
    // Never destroyed: a pool thread may still look at it while the process ends.
    static Queue &queue()
    {
        static Queue *q = new Queue;
        return *q;
    }
};

} // namespace oxlume::imaging
