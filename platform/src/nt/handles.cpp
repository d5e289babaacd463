// The handle table. Handles are small multiples of 4 (as on Windows), never
// 0 and never the pseudo-handles -1 and -2; a closed handle's value is not
// given out again while others are open, so a stale handle fails cleanly.
#include <map>
#include <mutex>

#include "internal.h"

namespace ntp {
namespace {

struct Table {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 4;
};

Table &table() {
    static Table *t = new Table;  // never destroyed: handles may be closed from atexit paths
    return *t;
}

}  // namespace

HANDLE handle_insert(std::shared_ptr<Object> object) {
    Table &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> handle_lookup(HANDLE handle) {
    Table &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end()) return nullptr;
    return it->second;
}

NTSTATUS handle_remove(HANDLE handle) {
    std::shared_ptr<Object> dying;
    Table &t = table();
    {
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == t.objects.end()) return STATUS_INVALID_HANDLE;
        dying = std::move(it->second);
        t.objects.erase(it);
    }
    // The object is destroyed here, outside the table lock.
    return STATUS_SUCCESS;
}

size_t handle_count() {
    Table &t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.objects.size();
}

}  // namespace ntp
