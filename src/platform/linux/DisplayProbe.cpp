#include "DisplayProbe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "UniqueFd.h"

namespace DisplayProbe {

namespace {

bool isSet(const char* value) { return value && *value; }

bool xServerAccepts() {
  if (!isSet(std::getenv("DISPLAY"))) return false;
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  bool accepted = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return accepted;
}

bool waylandAccepts() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  if (!isSet(name)) return false;
  std::string path = name;
  if (path.front() != '/') {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!isSet(runtime)) return false;
    path = std::string(runtime) + "/" + path;
  }
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  UniqueFd socketFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return socketFd.valid() && ::connect(socketFd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

bool reachable() { return xServerAccepts() || waylandAccepts(); }

}  // namespace DisplayProbe
