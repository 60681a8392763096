// Runs the loopback server with a fake runtime until stdin closes, for load tests:
//   server_load_host <first port>   prints the bound port on stdout.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "core/scoreboard_state_store.h"
#include "fake_runtime.h"
#include "server/local_http_server.h"

int main(int argc, char** argv) {
  tessvark::LocalHttpServerOptions options;
  options.port = argc > 1 ? std::atoi(argv[1]) : 28790;
  options.port_attempts = 50;
  tessvark::ScoreboardStateStore store("load-host", {});
  tessvark::testing::FakeRuntime runtime;
  runtime.reply = tessvark::MakeOkResponse("[{\"id\":\"clock\",\"role\":\"clock\"}]");
  tessvark::LocalHttpServer server(options);
  server.SetStateStore(&store);
  server.SetRuntime(&runtime);
  if (!server.Start()) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  std::printf("%d\n", server.Port());
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  server.Stop();
  return 0;
}
