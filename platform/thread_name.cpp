#include "platform/thread_name.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>

namespace tessvark {

void NameThisThread(std::string_view name) {
  char text[16];
  const std::size_t length = std::min(name.size(), sizeof text - 1);
  std::memcpy(text, name.data(), length);
  text[length] = '\0';
  pthread_setname_np(pthread_self(), text);
}

}  // namespace tessvark
