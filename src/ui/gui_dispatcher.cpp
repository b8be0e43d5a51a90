#include "ui/gui_dispatcher.h"

#include <QMetaObject>
#include <QThread>

namespace quill {

TGuiDispatcher::TGuiDispatcher() = default;

TDispatcher TGuiDispatcher::Dispatcher() {
  QObject* context = &context_;
  return [context](const std::function<void()>& call) {
    if (QThread::currentThread() == context->thread()) {
      call();
      return;
    }
    QMetaObject::invokeMethod(context, [&call] { call(); }, Qt::BlockingQueuedConnection);
  };
}

}  // namespace quill
