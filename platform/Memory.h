#pragma once
// The allocator keeps freed memory for reuse; after a burst of sessions that can be megabytes
// the idle server holds for nothing.

namespace platform {

// Gives free heap memory back to the system. Cheap enough to call when the server goes idle.
void ReleaseFreeMemory();

}  // namespace platform
