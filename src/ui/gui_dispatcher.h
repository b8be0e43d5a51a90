#pragma once

#include <QObject>

#include "support/call_dispatcher.h"

namespace quill {

// Hands calls of worker threads to the GUI thread and waits until they have
// run (a blocking queued call). Created on the GUI thread; must outlive every
// worker that uses its dispatcher. A call made on the GUI thread runs at once.
class TGuiDispatcher {
public:
  TGuiDispatcher();
  TDispatcher Dispatcher();

private:
  QObject context_;
};

}  // namespace quill
