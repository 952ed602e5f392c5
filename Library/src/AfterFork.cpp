#include "AfterFork.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include <pthread.h>

namespace Tessary::HardwareAPI {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::pair<void*, AfterFork::Hook>> objects;
};

// Never destroyed: a port closed by a static destructor still finds it.
Registry& TheRegistry() {
    static auto* registry = new Registry;
    return *registry;
}

// Held across the fork, so that the child's copy of the list is whole; the
// forking thread, which owns it, is the one that lets go in the child.
void Prepare() { TheRegistry().mutex.lock(); }
void Parent() { TheRegistry().mutex.unlock(); }
void Child() {
    Registry& registry = TheRegistry();
    for (auto at = registry.objects.rbegin(); at != registry.objects.rend(); ++at) at->second(at->first);
    registry.objects.clear();  // keeps its storage: nothing is freed in the child
    registry.mutex.unlock();
}

}  // namespace

void AfterFork::Add(void* object, Hook child) {
    static std::once_flag installed;
    std::call_once(installed, [] { ::pthread_atfork(&Prepare, &Parent, &Child); });
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const auto& entry : registry.objects) {
        if (entry.first == object) return;
    }
    registry.objects.emplace_back(object, child);
}

void AfterFork::Remove(void* object) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto& objects = registry.objects;
    objects.erase(std::remove_if(objects.begin(), objects.end(), [object](const auto& e) { return e.first == object; }),
                  objects.end());
}

}  // namespace Tessary::HardwareAPI
