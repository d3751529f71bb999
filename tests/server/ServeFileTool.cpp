// Serves one file until SIGTERM or SIGINT: prints the file address, then the page address.
// Usage: vexmoor-serve-file PATH [VIEWER_BASE_URL]
// With a viewer address the page is the real bridge page; without, a 4 KiB filler.
#include <signal.h>

#include <iostream>
#include <string>

#include "BridgePage.h"
#include "LoopbackServer.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: vexmoor-serve-file PATH [VIEWER_BASE_URL]\n";
    return 2;
  }
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGTERM);
  sigaddset(&endSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

  std::string path = argv[1];
  LoopbackServer server(path);
  try {
    server.start();
  } catch (const LoopbackServer::ServerError& error) {
    std::cerr << error.what() << '\n';
    return 1;
  }
  std::string name = path.substr(path.rfind('/') + 1);
  server.setPageHtml(argc > 2 ? BridgePage::build(argv[2], server.fileUrl(), name) : std::string(4096, 'p'));
  std::cout << server.fileUrl() << '\n' << server.pageUrl() << std::endl;

  int received = 0;
  sigwait(&endSignals, &received);
  server.stop();
  return 0;
}
