#include "library/photo_copy_thread.h"

#include <exception>
#include <string>

namespace quill {

// The controller's events lead here through these two, so that the thread
// can tell its own hooks from those of a later thread.
struct TPhotoCopyThread::TFileHook {
  TPhotoCopyThread* Owner;
  void operator()(const std::string& name) const { Owner->FileStarting(name); }
};

struct TPhotoCopyThread::TResultHook {
  TPhotoCopyThread* Owner;
  void operator()(const std::string& name, TItemOutcome outcome, const std::string& pcFile) const {
    TPhotoCopyThread& thread = *Owner;
    thread.dispatch_([&thread, &name, outcome, &pcFile] {
      if (thread.OnResult) thread.OnResult(name, outcome, pcFile);
    });
  }
};

TPhotoCopyThread::TPhotoCopyThread(TIpodPhotoDb& db, TDispatcher dispatcher)
    : db_(db), dispatch_(std::move(dispatcher)) {
  db_.OnTransferFile = TFileHook{this};
  db_.OnItemResult = TResultHook{this};
  db_.LogText.clear();
  db_.ResetTransferErrors();
}

TPhotoCopyThread::~TPhotoCopyThread() {
  Wait();
  ReleaseController();
}

void TPhotoCopyThread::Start() {
  worker_ = std::thread([this] { Run(); });
}

void TPhotoCopyThread::Wait() {
  if (worker_.joinable()) worker_.join();
}

void TPhotoCopyThread::Run() {
  try {
    CopiedCount = db_.TransferPhotos();
    db_.AddLog("Copy pics: t" + std::to_string(db_.Photos.SelectedCount) + ", c" +
               std::to_string(CopiedCount));
    if (db_.CamPhotos && db_.CamPhotos->SelectedCount > 0 && !Terminated()) {
      CopiedCount = db_.TransferCameraFiles();
      db_.AddLog("Copy cam pics: t" + std::to_string(db_.CamPhotos->SelectedCount) + ", c" +
                 std::to_string(CopiedCount));
    }
  } catch (const std::exception& error) {
    // A failure must not look like a finished transfer.
    db_.TransferFailed(error.what());
  } catch (...) {
    db_.TransferFailed("unknown error");
  }
  // "Done" means on the disk: a USB disk pulled at the end, or a laptop
  // whose power fails, must not lose what was reported copied.
  db_.FlushTransfer();
  // The controller outlives this thread and must never call into it again.
  ReleaseController();
  dispatch_([this] {
    if (OnDone) OnDone();
  });
}

void TPhotoCopyThread::FileStarting(const std::string& name) {
  if (Terminated()) db_.StopRequested = true;
  CurrentFile = name;
  // A stop asked for while the owner handles this notification is noticed
  // at the next one: that next file is still handled, none after it.
  dispatch_([this] {
    if (OnFile) OnFile(CurrentFile);
  });
}

void TPhotoCopyThread::ReleaseController() {
  const TFileHook* file = db_.OnTransferFile.target<TFileHook>();
  if (file != nullptr && file->Owner == this) db_.OnTransferFile = nullptr;
  const TResultHook* result = db_.OnItemResult.target<TResultHook>();
  if (result != nullptr && result->Owner == this) db_.OnItemResult = nullptr;
}

}  // namespace quill
