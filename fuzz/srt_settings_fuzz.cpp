// The SRT settings body as the session's route reads it, on a session that was never started,
// so nothing listens. Every body is answered 200 or refused with 400 or 422; a crash, hang or
// sanitizer report is a finding. Each input starts from the default settings.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/session_wiring.h"
#include "fuzz/fuzz_files.h"
#include "session/native_session.h"

namespace {

constexpr char kDefaults[] =
    R"({"bind_address":"0.0.0.0","port":9000,"latency_ms":120,"key_length":0,"stream_id":"","clear_passphrase":true})";

tessvark::NativeSession& Session() {
  static tessvark::NativeSession* session = [] {
    tessvark::NativeSessionOptions options;
    options.ui_root = tessvark::fuzz::FuzzFolder().string();
    options.enable_ndi = false;
    options.enable_omt = false;
    options.make_server = tessvark::MakeLocalHttpServer;
    return new tessvark::NativeSession(std::move(options));
  }();
  return *session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tessvark::NativeSession& session = Session();
  if (session.SetSrtSettings(kDefaults).status != 200) std::abort();
  const tessvark::RuntimeResponse reply = session.SetSrtSettings(std::string(reinterpret_cast<const char*>(data), size));
  if (reply.status != 200 && reply.status != 400 && reply.status != 422) {
    std::fprintf(stderr, "status %d: %s\n", static_cast<int>(reply.status), reply.body.c_str());
    std::abort();
  }
  return 0;
}
