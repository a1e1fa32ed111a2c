// The device's digital inputs and outputs over RCP+. One worker thread owns the connection:
// while enabled and given a sink it connects, reads the device's input and output counts,
// configures every line, primes the sink with every input's state, subscribes to input state
// messages and polls the device to notice a lost connection. Replies and messages come back
// on library threads through OnRcpReply.
//
// The sink is called only on the worker thread. A library thread queues what the sink must
// hear (input reports, a lost connection) and wakes the worker, which delivers it in order:
// a sink call may then make requests of its own (switch a relay from OnInputChanged), whose
// answers arrive on the library thread that queued the report.
#pragma once

#include <array>
#include <condition_variable>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/abandoned.h"
#include "foundation/callback_thread_registry.h"
#include "foundation/ipcapture_io_base_handler_if.h"
#include "foundation/recursive_lock.h"
#include "platform/platform.h"
#include "rcpplus/rcpplus.h"
#include "veltrane/capture_io.h"

namespace corvane {

class CBoschDigitalIO : public ICaptureIOApi {
 public:
  // Inputs with a cached state; a device may report more, whose replies are then ignored.
  static constexpr int kMaxCachedInputs = 16;
  // Sink calls waiting for the worker thread; a device that floods the object with reports
  // while the sink is stuck loses the newest beyond this, with a log line.
  static constexpr std::size_t kMaxQueuedSinkCalls = 4096;
  // What the thread entry answers when it is given no object.
  static constexpr std::uint32_t kNoObjectExitCode = 0x123456;

  // timeout: request time-out in ms (the driver's network time-out). pollPeriodMs: time
  // between keep-alive polls while watching. The worker thread starts at once and waits for
  // Enable.
  CBoschDigitalIO(CIPCaptureIOBaseHandlerIf* handler, int timeout, int pollPeriodMs = 30000);
  // Retires the object (if its owner has not) and tears the connection down. Only for an
  // object whose Retire succeeded.
  ~CBoschDigitalIO() override;
  CBoschDigitalIO(const CBoschDigitalIO&) = delete;
  CBoschDigitalIO& operator=(const CBoschDigitalIO&) = delete;

  // Without a sink the worker thread does not connect; setting one starts a pass.
  bool SetEventSink(ICaptureIOEventSink* sink) override;
  bool Enable() override;
  bool Disable() override;
  // Waits until the worker thread has dropped its connection and waits for Enable; true
  // when it did so within timeoutMs (or there is no worker thread).
  bool WaitUntilIdle(int timeoutMs);
  // Stops the worker thread, waiting up to 2 x timeout. True when it ended: the object may be
  // destroyed. False when it did not (a sink call has not returned): the thread is abandoned
  // with a log line, the object stops reaching its driver and the sink, and it must be kept
  // alive, since the thread and library callbacks may still use it.
  bool Retire();
  int GetInputCount() override;
  int GetOutputCount() override;
  // True when the device answered both requests in time; false at once without a connection.
  // May be called from the sink's own calls.
  bool SetOutput(int output, int state) override;

  // Reply, message and failure callback of every request and of the input message
  // subscription; context is the object. Runs on library threads.
  static void OnRcpReply(void* context, rcpplus::RcpHeader& header,
                         rcpplus::RcpInputStream& payload);
  // Error handler: logs the failure and takes the object offline on a lost connection.
  static void OnRcpMessage(void* context, rcpplus::RcpHeader& header,
                           rcpplus::RcpInputStream& payload);
  void SetSessionId(std::uint32_t value);

 private:
  friend struct CBoschDigitalIOTestPeer;

  static std::uint32_t ThreadEntry(CBoschDigitalIO* self);
  std::uint32_t Run();
  // One connected pass: configure, prime, subscribe, watch. Returns when the pass is over.
  void RunPass();
  void Watch();
  // Connected without a sink: keeps the connection alive for SetOutput and returns when a sink
  // is set, on Disable or stop, or when a keep-alive poll goes unanswered.
  void WaitForSink();
  // Runs the queued sink calls, in order. Worker thread only (or a test standing in for it).
  void DeliverSinkCalls();
  bool OnWorkerThread() const;

  std::string BuildDeviceAddress();
  void Connect();
  void Disconnect();
  // Answers to each awaited command: how many arrived, and how many of them were the
  // library's own failures (time-out, connection failure) rather than the device's answer.
  enum AnswerSlot { kSlotInputCount, kSlotOutputCount, kSlotInputState, kSlotSetOutput,
                    kSlotOutputState, kSlotCount };
  struct AnswerMark {
    int slot = 0;
    std::uint32_t answered = 0;
    std::uint32_t failed = 0;
  };
  // Taken before the request is sent.
  AnswerMark MarkAnswers(AnswerSlot slot);
  // True when the device answered the command (an error reply counts) within timeout +
  // 500 ms and the object is still enabled; false at once when disabled or stopping.
  bool WaitForReply(const AnswerMark& mark);
  void RecordAnswer(std::uint32_t commandWord, bool failure);
  void WakeWaiters();
  bool ConfigureDevice();
  void RequestInputStates();
  // Takes the object offline; the sink hears OnConnectionLost once, on the worker thread.
  void GoOffline();
  struct SinkCall {
    int input;  // kLostCall: OnConnectionLost
    std::int32_t state;
  };
  static constexpr int kLostCall = -1;
  // Queues a call for the worker thread (when there is a sink to hear it; input reports only
  // while enabled), storing the input's cached state first when given.
  void QueueSinkCall(SinkCall call, std::atomic<std::int32_t>* cachedState);
  // Waits, after a pass that failed at once, before the next pass; wakes on Disable and stop.
  void PauseAfterFailedPass();

  // Sends one request under the lock. reply: with OnRcpReply; otherwise no answer awaited.
  // setLine: false keeps the line left by the previous request.
  void Send(unsigned long commandWord, unsigned char payload, bool reply, bool setLine,
            std::uint16_t line);

  void HandleReply(rcpplus::RcpHeader& header, rcpplus::RcpInputStream& payload);
  void HandleMessage(rcpplus::RcpHeader& header, rcpplus::RcpInputStream& payload);

  int ReplyWaitMs() const;

  platform::Thread threadHandle;
  std::uint32_t threadId = 0;
  // Signalled for every answer without and with an error; requests wait on the answer
  // record further below, which knows which command an answer belongs to.
  platform::Event replyEvent;
  platform::Event errorEvent;
  platform::Event stopEvent;
  platform::Event enableEvent;
  platform::Event disableEvent;
  // Set each time the worker thread turns idle (disconnected, waiting for Enable).
  platform::Event idleEvent;
  // Set when a sink call is queued and when the host sets a sink.
  platform::Event sinkEvent;
  CCallbackThreadRegistry callbackThreads;
  std::atomic<bool> stopping{false};
  std::atomic<bool> online{false};
  std::atomic<bool> enabled{false};
  std::atomic<bool> idle{false};
  std::array<std::atomic<std::int32_t>, kMaxCachedInputs> inputStates{};
  std::uint32_t sessionId = 0;  // under lock
  std::unique_ptr<rcpplus::RtpStreamer> streamer;  // under lock
  std::unique_ptr<rcpplus::RcpClient> client;      // under lock
  // The driver; a stand-in once the object has been abandoned.
  OwnerLink<CIPCaptureIOBaseHandlerIf> handler;
  // Bumped before a step that may block for good (a sink call, a teardown that waits for
  // one); read by a Retire that gives up, so that what the thread did before is ordered ahead
  // of the destruction of the driver and the sink.
  std::atomic<std::uint32_t> blockingSteps{0};
  std::atomic<ICaptureIOEventSink*> sink{nullptr};
  std::atomic<std::int32_t> inputCount{0};
  std::atomic<std::int32_t> outputCount{0};
  std::atomic<std::uint32_t> errorCount{0};
  int timeout;
  CRecursiveLock lock;

  const int pollPeriodMs;
  // The library's own failures seen so far: a pass that met one failed at once.
  std::atomic<std::uint32_t> clientErrors{0};
  // Waiters for answers sleep here; each answer, Disable and stop wake them. Events alone
  // cannot tell which request an answer belongs to, nor wake more than one waiter.
  std::mutex answerMutex;
  std::condition_variable answerChanged;
  std::array<std::uint32_t, kSlotCount> answered{};  // under answerMutex
  std::array<std::uint32_t, kSlotCount> failed{};    // under answerMutex
  // Keeps an input's cached state and the queue of sink calls in the same order when two
  // library threads report it at once.
  std::mutex reportMutex;
  std::deque<SinkCall> sinkCalls;  // under reportMutex
  bool sinkCallsOverflowed = false;  // under reportMutex; logged once per overflow
};

}  // namespace corvane
