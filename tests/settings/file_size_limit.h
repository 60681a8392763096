#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <stdexcept>

namespace tessvark {

// While alive, files of this process cannot grow beyond `bytes`: a write past the limit fails
// with EFBIG instead of raising SIGXFSZ. This makes a full disk reproducible, also for root.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    if (getrlimit(RLIMIT_FSIZE, &saved_) != 0) throw std::runtime_error("getrlimit failed");
    previous_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    if (setrlimit(RLIMIT_FSIZE, &limited) != 0) throw std::runtime_error("setrlimit failed");
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  sighandler_t previous_handler_ = SIG_DFL;
};

}  // namespace tessvark
