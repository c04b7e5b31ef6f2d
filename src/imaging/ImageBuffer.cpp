#include "imaging/ImageBuffer.h"

#include "imaging/Limits.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace oxlume::imaging {

namespace {

constexpr size_t kHugePageBytes = size_t(2) << 20;
// Two idle buffers cover stepping back and forth between photos; the byte cap keeps a viewer
// of huge images from sitting on gigabytes it no longer shows.
constexpr size_t kPoolSlots = 2;
constexpr size_t kPoolMaxBytes = size_t(512) << 20;

enum class ThpMode { Never, Madvise, Always };

ThpMode readThpMode()
{
    FILE *f = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "re");
    if (!f)
        return ThpMode::Never;
    char line[128] = {};
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!got)
        return ThpMode::Never;
    if (std::strstr(line, "[always]"))
        return ThpMode::Always;
    if (std::strstr(line, "[madvise]"))
        return ThpMode::Madvise;
    return ThpMode::Never;
}

ThpMode thpMode()
{
    static const ThpMode mode = readThpMode();
    return mode;
}

struct Mapping {
    void *base = nullptr;
    size_t length = 0;
};

void unmap(const Mapping &m)
{
    if (m.base)
        ::munmap(m.base, m.length);
}

// An anonymous mapping of at least bytes, aligned to 2 MiB when huge pages are available so
// that the kernel can back all of it with them.
Mapping mapBuffer(size_t bytes)
{
    const bool huge = thpMode() != ThpMode::Never;
    const size_t page = size_t(::sysconf(_SC_PAGESIZE));
    const size_t align = huge ? kHugePageBytes : page;
    const size_t length = (bytes + align - 1) / align * align;
    const size_t slack = huge ? kHugePageBytes : 0;
    void *raw =
        ::mmap(nullptr, length + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return {};
    auto *start = static_cast<char *>(raw);
    auto *aligned = start;
    if (huge) {
        const auto addr = reinterpret_cast<uintptr_t>(start);
        aligned = start + ((kHugePageBytes - addr % kHugePageBytes) % kHugePageBytes);
        if (aligned > start)
            ::munmap(start, size_t(aligned - start));
        char *end = start + length + slack;
        if (end > aligned + length)
            ::munmap(aligned + length, size_t(end - (aligned + length)));
        if (thpMode() == ThpMode::Madvise)
            ::madvise(aligned, length, MADV_HUGEPAGE);
    }
    return {aligned, length};
}

class Pool {
public:
    Mapping acquire(size_t bytes)
    {
        {
            std::lock_guard lock(m_mutex);
            // Best fit, but never more than twice the need: a small image must not hold on
            // to the buffer the next large photo wants.
            auto best = m_idle.end();
            for (auto it = m_idle.begin(); it != m_idle.end(); ++it)
                if (it->length >= bytes && it->length / 2 <= bytes &&
                    (best == m_idle.end() || it->length < best->length))
                    best = it;
            if (best != m_idle.end()) {
                const Mapping m = *best;
                m_idle.erase(best);
                m_idleBytes -= m.length;
                ++m_reused;
                return m;
            }
            ++m_mapped;
        }
        return mapBuffer(bytes);
    }

    void release(const Mapping &m)
    {
        // An idle buffer's contents are worthless: let the kernel take its pages under memory
        // pressure. Until it does, reusing them costs nothing. Done before the buffer is
        // visible to other threads, or it could discard what a new owner already wrote.
        if (m.length <= kPoolMaxBytes)
            ::madvise(m.base, m.length, MADV_FREE);
        std::vector<Mapping> evicted;
        {
            std::lock_guard lock(m_mutex);
            if (m.length > kPoolMaxBytes) {
                evicted.push_back(m);
            } else {
                m_idle.push_back(m);
                m_idleBytes += m.length;
                while (m_idle.size() > kPoolSlots || m_idleBytes > kPoolMaxBytes) {
                    evicted.push_back(m_idle.front());
                    m_idleBytes -= m_idle.front().length;
                    m_idle.erase(m_idle.begin());
                }
            }
        }
        // Unmapping a large buffer takes a while; do it outside the lock.
        for (const Mapping &e : evicted)
            unmap(e);
    }

    void trim()
    {
        std::vector<Mapping> evicted;
        {
            std::lock_guard lock(m_mutex);
            evicted.swap(m_idle);
            m_idleBytes = 0;
        }
        for (const Mapping &e : evicted)
            unmap(e);
    }

    ImagePoolStats stats()
    {
        std::lock_guard lock(m_mutex);
        ImagePoolStats s;
        s.pooledBuffers = int64_t(m_idle.size());
        s.pooledBytes = int64_t(m_idleBytes);
        s.mapped = m_mapped;
        s.reused = m_reused;
        s.hugePages = thpMode() != ThpMode::Never;
        return s;
    }

private:
    std::mutex m_mutex;
    std::vector<Mapping> m_idle; // oldest first
    size_t m_idleBytes = 0;
    int64_t m_mapped = 0;
    int64_t m_reused = 0;
};

// Never destroyed: images may still be freed while static objects are torn down.
Pool &pool()
{
    static Pool *p = new Pool;
    return *p;
}

std::atomic<int64_t> g_liveBytes{0};
std::atomic<int64_t> g_peakBytes{0};

void countLive(int64_t bytes)
{
    const int64_t now = g_liveBytes.fetch_add(bytes) + bytes;
    int64_t peak = g_peakBytes.load();
    while (now > peak && !g_peakBytes.compare_exchange_weak(peak, now)) {
    }
}

void releaseMapping(void *info)
{
    auto *m = static_cast<Mapping *>(info);
    g_liveBytes.fetch_sub(int64_t(m->length));
    pool().release(*m);
    delete m;
}

std::string sizeText(int64_t width, int64_t height)
{
    return std::to_string(width) + " x " + std::to_string(height);
}

} // namespace

Result<QImage> allocateImage(std::string_view formatName, int64_t width, int64_t height,
                             QImage::Format format)
{
    const std::string name(formatName);
    if (width <= 0 || height <= 0)
        return makeError(name + ": image size " + sizeText(width, height) +
                         " is empty or negative");
    if (width > kMaxImageSide || height > kMaxImageSide || width * height > kMaxImagePixels)
        return makeError(name + ": image of " + sizeText(width, height) +
                         " pixels exceeds the limit of " + std::to_string(kMaxImagePixels) +
                         " pixels");
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    if (format == QImage::Format_Invalid || depth <= 0)
        return makeError(name + ": no pixel format for the image");
    // Sides are at most 65535 and depth at most 64, so none of this can overflow 64 bits.
    const int64_t bytesPerLine = (width * depth + 31) / 32 * 4;
    const int64_t bytes = bytesPerLine * height;
    if (bytes > kMaxImageBytes)
        return makeError(name + ": image of " + sizeText(width, height) + " pixels needs " +
                         std::to_string(bytes) + " bytes, more than the limit of " +
                         std::to_string(kMaxImageBytes));

    if (bytes >= kPooledImageMinBytes) {
        const Mapping m = pool().acquire(size_t(bytes));
        if (m.base) {
            auto *info = new Mapping(m);
            countLive(int64_t(m.length));
            QImage image(static_cast<uchar *>(m.base), int(width), int(height),
                         qsizetype(bytesPerLine), format, releaseMapping, info);
            if (!image.isNull())
                return image;
            releaseMapping(info);
        }
    }
    QImage image(int(width), int(height), format);
    if (image.isNull())
        return makeError(name + ": out of memory for " + sizeText(width, height) + " pixels");
    return image;
}

ImagePoolStats imagePoolStats()
{
    return pool().stats();
}

void trimImagePool()
{
    pool().trim();
}

int64_t liveImageBytes()
{
    return g_liveBytes.load();
}

int64_t takePeakLiveImageBytes()
{
    return g_peakBytes.exchange(g_liveBytes.load());
}

} // namespace oxlume::imaging
