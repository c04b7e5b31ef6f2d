#pragma once
// The busy section: a process-wide nesting count. The first BeginBusy shows the wait
// cursor; the EndBusy that brings the count back to 0 restores the cursor shown before.
// User-interface thread only; without a GUI application only the count changes.

namespace oxlume {

void BeginBusy();
// An EndBusy without a matching BeginBusy raises an AssertionFailure (unit "Busy").
void EndBusy();
int BusyDepth();

// Pairs BeginBusy with an EndBusy that also runs when the work in between throws.
class BusyGuard {
public:
    BusyGuard() { BeginBusy(); }
    ~BusyGuard() { EndBusy(); }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;
};

} // namespace oxlume
