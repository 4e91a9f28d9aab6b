// The download component: a segmented HTTP, HTTPS and FTP downloader working on threads of its own.
// Its callbacks run on those threads, never on the window's thread.
//
// Error policy: nothing throws. Failures of the transfer reach the owner only as events; the task
// always ends with exactly one kTransferFinished.
#pragma once
#include <string>
#include <vector>

namespace rt {

// Event codes passed to TransferEventCallback.
enum TransferEvent : int {
  kTransferStarted = 3,   // the transfer begins (again for each further connection)
  kTransferFinished = 4,  // last event of a task, exactly once; value3 = bytes done
  kDataRange = 6,         // a connection is given its data range
  kThreadContinues = 7,   // a connection continues a download
  kThreadEndedNormally = 8,
  kThreadEndedAbnormally = 9,
  kDataReceived = 16,        // one per received block; value3 = its byte count
  kSameNameFileExists = 18,  // the target exists before writing starts; the reply is read
};

// Replies to kSameNameFileExists.
enum SameNameReply : int {
  kRenameAutomatically = 0,  // the component tries up to 99 other names itself
  kAbandon = 1,
  kUseSuppliedName = 2,  // the handler has called SupplyFileName before replying
};

// Status messages: (code, text, text, int, int); the component ignores the result.
using TransferMessageCallback = int (*)(int code, const std::string& first, const std::string& second, int a, int b);
// Transfer events: (code, value2, value3, value4, taskHandle). The result matters for code 18 only.
using TransferEventCallback = int (*)(int code, int value2, int value3, int value4, int taskHandle);

// A task's parameter record; the component copies what it needs when the task starts.
struct TaskParam {
  int taskKind = 1;  // 4096 = download
  std::string address;
  std::string savePath;
  std::string ftpUser = "anonymous";
  std::string ftpPassword = "anonymous@example.com";
  int threadCount = 1;
  int speedLimit = 0;  // bytes per second per connection, 0 = none
  int connectTimeout = 20000;
  int sendTimeout = 20000;
  int receiveTimeout = 20000;
  int stopWait = 1000;  // ms, in steps of 20
  int receiveBlock = 20480;
  int sendBlock = 1024;
  TransferMessageCallback onMessage = nullptr;
  TransferEventCallback onEvent = nullptr;
  std::string title;
  int ftpTransferType = 1;  // 1 binary, 2 text, 3 by extension
  std::string binaryExtensions = ".exe|.rar|.zip|.gif|.jpg|.mp3|.rm";
  std::string httpSetting1;
  std::string httpSetting2;
};

// Kinds for ReadProgressValue.
inline constexpr int kProgressTotal = 1;
inline constexpr int kProgressDone = 2;

class DownloadInstance {
 public:
  // ReleaseInstance: a running task is stopped first, as by StopTask.
  virtual ~DownloadInstance() = default;
  // False when a task already runs, the address cannot be parsed or the task cannot be created.
  virtual bool StartTask(const TaskParam& param) = 0;
  // Stops the running task, waiting up to its stopWait in steps of 20 ms while the window's thread
  // goes on serving hand-overs; fills `resumeData` and answers true. False, leaving `resumeData`
  // alone, when no task runs.
  virtual bool StopTask(std::vector<unsigned char>& resumeData, int mode) = 0;
  // The identifier of the running task, -1 when none runs.
  virtual int QueryTaskHandle() = 0;
  // A snapshot of the running task's progress; false, leaving `block` alone, when none runs.
  virtual bool CaptureProgress(std::vector<unsigned char>& block) = 0;
  // kProgressTotal or kProgressDone from a snapshot; -1 when the block is empty or unreadable.
  virtual int ReadProgressValue(const std::vector<unsigned char>& block, int kind, int reserved) = 0;
  // Bytes written since the previous call, then the count starts again; 0 when no task runs.
  virtual int TakeReceivedBytes() = 0;
  // The other name to write to, given by an event handler during kSameNameFileExists before it
  // answers kUseSuppliedName.
  virtual void SupplyFileName(const std::string& path) = 0;
};

}  // namespace rt
