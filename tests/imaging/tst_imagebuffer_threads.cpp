// The image pool under threads: decoders allocate on workers, the window frees on its own
// thread. Each image must keep its own contents while buffers circulate between threads.

#include "imaging/ImageBuffer.h"

#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using namespace oxlume::imaging;

namespace {

// One handed-over image per slot, like a worker passing its result to the window thread.
class Handoff {
public:
    void put(QImage img)
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(img));
        m_ready.notify_one();
    }
    bool take(QImage &img)
    {
        std::unique_lock lock(m_mutex);
        m_ready.wait(lock, [&] { return !m_queue.empty() || m_closed; });
        if (m_queue.empty())
            return false;
        img = std::move(m_queue.front());
        m_queue.pop_front();
        return true;
    }
    void close()
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_ready.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<QImage> m_queue;
    bool m_closed = false;
};

bool filledWith(const QImage &img, QRgb colour)
{
    for (int y = 0; y < img.height(); y += 37) {
        const auto *row = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < img.width(); x += 13)
            if (row[x] != colour)
                return false;
    }
    return true;
}

} // namespace

class TestImageBufferThreads : public QObject {
    Q_OBJECT

private slots:
    void allocateHereFreeThere();
};

void TestImageBufferThreads::allocateHereFreeThere()
{
    trimImagePool();
    constexpr int kWorkers = 4;
    constexpr int kRounds = 60;
    Handoff handoff;
    std::atomic<int> badContents{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kWorkers; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const int w = 600 + 100 * ((t + i) % 3); // pooled sizes that share buffers
                auto img = allocateImage("JPEG", w, 500);
                if (!img.ok()) {
                    ++failures;
                    continue;
                }
                const QRgb colour = qRgb(t * 40, i % 256, 7);
                img->fill(colour);
                std::this_thread::yield();
                if (!filledWith(img.value(), colour))
                    ++badContents;
                if (i % 2) // half are freed here, half on the consumer thread
                    handoff.put(img.value());
            }
        });
    }
    std::thread consumer([&] {
        QImage img;
        while (handoff.take(img)) {
            const QRgb colour = img.pixel(0, 0);
            if (!filledWith(img, colour))
                ++badContents;
            img = QImage();
        }
    });
    for (auto &w : workers)
        w.join();
    handoff.close();
    consumer.join();

    QCOMPARE(failures.load(), 0);
    QCOMPARE(badContents.load(), 0);
    const auto stats = imagePoolStats();
    QVERIFY(stats.reused > 0);
    QVERIFY(stats.pooledBuffers <= 2);
    QVERIFY(stats.mapped < kWorkers * kRounds);
}

QTEST_GUILESS_MAIN(TestImageBufferThreads)
#include "tst_imagebuffer_threads.moc"
