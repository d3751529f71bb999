#pragma once

#include <QObject>
#include <functional>

#include "UniqueFd.h"

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a call on the event loop, so that a request to end
// runs the same clean-up as any other way out.
class TerminationSignals : public QObject {
 public:
  explicit TerminationSignals(std::function<void()> onSignal);
  ~TerminationSignals() override;

 private:
  std::function<void()> onSignal_;
  UniqueFd readEnd_, writeEnd_;
  QSocketNotifier* notifier_ = nullptr;
};
