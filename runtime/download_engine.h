// The download component's engine: one control thread per task that hands out byte ranges, watches
// its connections and delivers the events; connection threads that fetch and write the ranges. It
// talks to the wire only through Transport and to the disk only through System, so the same code runs
// on Windows (WinINet, Win32 files) and natively under the sanitizers (an in-memory server and files).
//
// How a task goes:
//  - The first connection asks for the whole entity and learns its length, whether ranges are refused
//    and its validator (ETag, else Last-Modified). Before its first byte is written it settles the
//    target name (kSameNameFileExists) and creates savePath + ".part".
//  - With a length, the file is split into up to threadCount pieces; the first connection keeps the
//    first piece of its stream, the others ask for their pieces as ranges. Every range response is
//    judged (response.h) before a byte is written. A connection that runs dry takes over half of the
//    largest piece left. A whole-entity stream reads on into the next piece when that piece is free
//    or its owner is still waiting for an answer: reading on is free, a new request is not.
//  - A server that answers a range with the whole body, or gives no length, leaves one connection
//    reading the whole entity, skipping what is already written. A changed entity ends the task.
//  - A failed attempt keeps its piece through a pause that doubles with each failure; the task gives
//    up when one piece fails more than `retries` times in a row, or when every connection has failed
//    in turn without a byte written anywhere. A connection that makes no progress within its
//    time-outs is abandoned (its thread detached, never again writing) and its piece handed on: the
//    transport's own time-outs are not trusted to fire.
//  - Only a complete, flushed file is renamed onto the target. A failed task removes its ".part"; a
//    stopped one leaves it under that name, described by the resume data.
//  - Events are queued by the connections and delivered in order by the control thread, in rounds of
//    at most 20 ms; when the owner's handler falls behind by a full queue, the connections wait, so
//    memory does not grow with the file. onMessage gets (1, why the task failed, address, 0, 0) and
//    (2, why an attempt is retried, address, connection, failures).
//
// Error policy: nothing throws out of the engine or its threads; failures end the task with one
// kTransferFinished whose value2 says how it ended (TaskEnd below).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

#include "runtime/download.h"
#include "runtime/system.h"
#include "runtime/transport.h"

namespace rt {

// value2 of kTransferFinished.
enum TaskEnd : int {
  kEndComplete = 0,
  kEndFailed = 1,
  kEndStopped = 2,
  kEndAbandoned = 3,  // the answer to kSameNameFileExists was to abandon
};

// What the task record does not say; tests shorten the pauses and the pieces.
struct EngineTuning {
  int retries = 4;                // failed attempts in a row of one piece before the task gives up
  int backoffMs = 200;            // pause before the first retry, doubled for each further one
  int64_t minPiece = 256 * 1024;  // no piece is made smaller by splitting
};

// `wait(ms)` is called by StopTask (and the instance's destructor) in steps of 20 ms while it waits
// for the task's threads; the run time passes a wait that keeps serving work handed over to the
// window's thread. `files` must outlive the instance; no thread touches it after the instance is gone.
std::unique_ptr<DownloadInstance> NewDownloadInstance(std::shared_ptr<Transport> transport, System& files,
                                                      std::function<void(int ms)> wait, EngineTuning tuning = {});

}  // namespace rt
