#include "ocr/image_threads.h"

#include <opencv2/core/utility.hpp>

namespace tessvark {

void KeepImageWorkOnCallingThread() {
  // 0 turns OpenCV's parallel loops into plain loops on the caller, whatever its back-end.
  cv::setNumThreads(0);
}

}  // namespace tessvark
