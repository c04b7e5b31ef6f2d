#pragma once
// Peak resident memory of this process, for tests that hold a decode to its memory bound.

#include <QtGlobal>

#include <fstream>
#include <string>

namespace oxlume::test {

// Resets the peak to what is resident now; false when the kernel does not let us.
inline bool resetPeakMemory()
{
#if defined(__SANITIZE_THREAD__)
    return false; // the race checker's shadow memory would count as ours
#endif
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return bool(clear.flush());
}

// The peak since the last reset, in bytes; -1 when unknown.
inline qint64 peakMemoryBytes()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            qint64 kb = 0;
            status >> kb;
            return kb * 1024;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

} // namespace oxlume::test
