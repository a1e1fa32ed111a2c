#include "library_thread.h"

#include <atomic>

namespace rcpplus::detail {
namespace {

thread_local bool t_libraryThread = false;
std::atomic<bool> g_dropCallbacks{false};

}  // namespace

bool IsLibraryThread() { return t_libraryThread; }
void MarkLibraryThread() { t_libraryThread = true; }

bool DroppingCallbacks() { return g_dropCallbacks.load(std::memory_order_acquire); }
void DropCallbacks() { g_dropCallbacks.store(true, std::memory_order_release); }

}  // namespace rcpplus::detail
