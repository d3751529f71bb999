// Serves one file until SIGTERM or SIGINT: prints the file address, then the page address.
// Usage: vexmoor-serve-file PATH [PAGE_BYTES]
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "LoopbackServer.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: vexmoor-serve-file PATH [PAGE_BYTES]\n";
    return 2;
  }
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGTERM);
  sigaddset(&endSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

  LoopbackServer server(argv[1]);
  try {
    server.start();
  } catch (const LoopbackServer::ServerError& error) {
    std::cerr << error.what() << '\n';
    return 1;
  }
  size_t pageBytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2048;
  server.setPageHtml(std::string(pageBytes, 'p'));
  std::cout << server.fileUrl() << '\n' << server.pageUrl() << std::endl;

  int received = 0;
  sigwait(&endSignals, &received);
  server.stop();
  return 0;
}
