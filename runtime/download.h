// The download component: a segmented HTTP and FTP downloader working on threads of its own.
// Its callbacks run on those threads, never on the window's thread.
#pragma once
#include <memory>
#include <string>
#include <vector>

namespace rt {

struct TaskParam;
using TransferMessageCallback = void (*)(int code, const std::string& first, const std::string& second, int a, int b);
using TransferEventCallback = void (*)(int event, int task, int a, int b);

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

class DownloadInstance {
 public:
  virtual ~DownloadInstance() = default;  // a running task is stopped first, as by StopTask
  // False when a task already runs, the address cannot be parsed or the task cannot be created.
  virtual bool StartTask(const TaskParam& param) = 0;
  // Stops the running task, waiting up to its stopWait; false when no task runs.
  virtual bool StopTask(std::vector<unsigned char>& resumeData, int mode) = 0;
};

}  // namespace rt
