#pragma once

namespace platform {

// Buffers of 1 MiB and more (the engine's 4 MiB objects) are mapped and
// unmapped one by one instead of being kept in the allocator's arenas, so a
// job's memory goes back to the system as soon as its buffers are freed.
// Called once at the start of the programs that run jobs.
void keepLargeBuffersOutOfTheHeap();

}  // namespace platform
