#pragma once

#include <chrono>
#include <functional>

#include "platform/host_loop.h"

namespace tessvark {

// Opens the interface at most once per `spacing`, whoever asks: a panel that floods Activate, a
// menu click, SIGUSR1. A request within the spacing of the last opening is not lost: it is
// carried out once when the spacing has passed, however many such requests came meanwhile. The
// host loop serves it as a source, on its own thread.
class PacedOpener final : public HostLoopSource {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  PacedOpener(std::function<void()> open, std::chrono::milliseconds spacing,
              Clock now = std::chrono::steady_clock::now);

  // Opens now when the spacing has passed since the last opening, else plans one opening for
  // when it has.
  void Request();

  Wait NextWait() override;
  // Carries out a planned opening whose time has come.
  void Serve() override;

 private:
  void Open(std::chrono::steady_clock::time_point now);

  std::function<void()> open_;
  std::chrono::milliseconds spacing_;
  Clock now_;
  bool opened_ = false;  // whether anything was opened yet
  std::chrono::steady_clock::time_point last_opened_{};
  bool planned_ = false;  // an opening waits for the spacing to pass
};

}  // namespace tessvark
