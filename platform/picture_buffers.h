#pragma once

namespace tessvark {

// Keeps freed picture-sized buffers (a 1080p frame is 6 MB) in the process's heap for the next
// picture. By default the allocator maps every such buffer afresh and unmaps it when freed, so
// each frame pays for faulting in its pages again: at 25 frames a second, with a few copies of
// each frame, that costs more CPU than reading the board. Process-wide; safe to call again.
void KeepPictureBuffersForReuse();

}  // namespace tessvark
