#include "RemoveLockTracker.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace zvtest {
namespace {

std::mutex g_lock;
std::map<PRemoveLock, std::multimap<PVOID, int>> g_holds;
std::vector<std::string> g_badReleases;

void OnAcquired(PRemoveLock lock, PVOID tag) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_holds[lock].emplace(tag, 0);
}

void OnReleased(PRemoveLock lock, PVOID tag) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto& holds = g_holds[lock];
    auto found = holds.find(tag);
    if (found == holds.end()) {
        char text[96];
        std::snprintf(text, sizeof text, "lock %p released by tag %p that does not hold it",
                      static_cast<void*>(lock), tag);
        g_badReleases.emplace_back(text);
        return;
    }
    holds.erase(found);
}

const RemoveLockWatcher kWatcher = {&OnAcquired, &OnReleased};

}  // namespace

RemoveLockTracker::RemoveLockTracker() {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_holds.clear();
        g_badReleases.clear();
    }
    RemoveLockSetWatcher(&kWatcher);
}

RemoveLockTracker::~RemoveLockTracker() {
    RemoveLockSetWatcher(nullptr);
}

std::vector<PVOID> RemoveLockTracker::Holders(PRemoveLock lock) const {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<PVOID> tags;
    auto found = g_holds.find(lock);
    if (found != g_holds.end()) {
        for (const auto& hold : found->second) tags.push_back(hold.first);
    }
    return tags;
}

size_t RemoveLockTracker::OutstandingHolds() const {
    std::lock_guard<std::mutex> guard(g_lock);
    size_t holds = 0;
    for (const auto& lock : g_holds) holds += lock.second.size();
    return holds;
}

std::vector<std::string> RemoveLockTracker::BadReleases() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_badReleases;
}

}  // namespace zvtest
