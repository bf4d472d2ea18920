// Watches the holds of every remove lock while it lives, so that a test of a
// request path finds a request that releases twice, releases what it never
// acquired, or keeps its hold.  One tracker at a time.
#pragma once

#include <string>
#include <vector>

#include "RemoveLock.h"

namespace zvtest {

class RemoveLockTracker {
public:
    RemoveLockTracker();   // starts watching
    ~RemoveLockTracker();  // stops
    RemoveLockTracker(const RemoveLockTracker&) = delete;
    RemoveLockTracker& operator=(const RemoveLockTracker&) = delete;

    // The tags that hold `lock` now (a tag appears once per hold).
    std::vector<PVOID> Holders(PRemoveLock lock) const;
    // Every hold not given back, over all locks.
    size_t OutstandingHolds() const;
    // Releases of a tag that did not hold the lock, described.
    std::vector<std::string> BadReleases() const;
};

}  // namespace zvtest
