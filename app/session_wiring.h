#pragma once

#include <memory>

#include "server/local_http_server.h"
#include "session/native_session_options.h"

namespace tessvark {

// The local HTTP server configured by the session options' server fields: the server a session
// owns in the program (NativeSessionOptions::make_server).
std::unique_ptr<LocalHttpServer> MakeLocalHttpServer(const NativeSessionOptions& options);

}  // namespace tessvark
