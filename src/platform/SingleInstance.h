#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

// One running application per desktop session: the first process owns the application's
// name on the session bus; a later launch hands its request to it and ends. Without a
// session bus, every process runs on its own.
class SingleInstance {
 public:
  // What a later launch asks of the running instance, called on the event loop.
  struct Requests {
    std::function<void(const std::vector<std::string>& paths)> open;
    // "setup", "manage", or "" for the window in the mode the settings call for.
    std::function<void(const std::string& windowMode)> showWindow;
  };

  virtual ~SingleInstance() = default;
  // False when another instance runs: it was handed the paths (made absolute here) or,
  // with none, asked to show its window in `windowMode`; also when it holds the request
  // without answering in time (said on standard error). True when this process is the one
  // running instance, or runs on its own (as for a path that cannot be made absolute).
  // With `registerLater`, a process that runs as the one instance takes the name only at
  // registerNow(), so that what it serves first need not wait for the bus.
  virtual bool becomeRunningInstance(const std::vector<std::string>& paths, const std::string& windowMode,
                                     Requests requests, bool registerLater = false) = 0;
  // Takes the name put off by becomeRunningInstance(); should another process have taken it
  // meanwhile, this one runs on its own.
  virtual void registerNow() {}
};
