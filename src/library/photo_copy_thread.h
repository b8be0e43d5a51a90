#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "library/ipod_photo_db.h"
#include "support/call_dispatcher.h"

namespace quill {

// Runs one transfer on a worker thread: TransferPhotos, then
// TransferCameraFiles when camera files are selected and no stop was asked.
// Every notification is handed to the owner's thread through the dispatcher
// and waited for. The owner creates it, sets the events, calls Start, may
// call Terminate at any time, and must keep serving the dispatcher until
// OnDone has run; then Wait (or the destructor) joins the worker.
class TPhotoCopyThread {
public:
  TPhotoCopyThread(TIpodPhotoDb& db, TDispatcher dispatcher);
  ~TPhotoCopyThread();
  TPhotoCopyThread(const TPhotoCopyThread&) = delete;
  TPhotoCopyThread& operator=(const TPhotoCopyThread&) = delete;

  std::int32_t CopiedCount = 0;
  std::string CurrentFile;
  std::function<void(const std::string& name)> OnFile;
  std::function<void()> OnDone;
  // Handed over like OnFile, after each item (see TIpodPhotoDb::OnItemResult).
  std::function<void(const std::string& name, TItemOutcome outcome, const std::string& pcFile)>
      OnResult;

  void Start();
  // Asks the worker to stop; it notices at the next file notification (when
  // asked from OnFile, at the one after it): that file is finished, no later
  // file and no camera phase is started.
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  void Wait();

private:
  struct TFileHook;
  struct TResultHook;
  void Run();
  void FileStarting(const std::string& name);
  // Clears the controller's two events while they still lead to this thread.
  void ReleaseController();

  TIpodPhotoDb& db_;
  TDispatcher dispatch_;
  std::atomic<bool> terminated_{false};
  std::thread worker_;
};

}  // namespace quill
