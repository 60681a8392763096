#pragma once

namespace tessvark {

// Makes OpenCV run every call on the thread that makes it. Its own worker pool (one thread per
// core) gains nothing on zone-sized pictures and only spins and switches beside the video
// production software the operator runs on the same machine. Process-wide; safe to call again.
void KeepImageWorkOnCallingThread();

}  // namespace tessvark
