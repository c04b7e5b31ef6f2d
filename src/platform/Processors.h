#pragma once
// How many processors this process may run on: those its affinity allows (taskset,
// cgroup cpusets), not all the machine has. At least 1. Threads beyond it only take turns
// with each other.

namespace oxlume::platform {

int usableProcessors();

} // namespace oxlume::platform
