// Process-wide marks every part of the library consults before it waits for a callback or
// makes one.
#pragma once

namespace rcpplus::detail {

// Set on every thread the library runs; such a thread must never wait for a callback to end,
// since it may be the one running it (or be needed by the one running it).
bool IsLibraryThread();
void MarkLibraryThread();

// Set while the process tears the library down: owed callbacks are dropped, not made, since
// their targets may be gone. Never cleared.
bool DroppingCallbacks();
void DropCallbacks();

}  // namespace rcpplus::detail
