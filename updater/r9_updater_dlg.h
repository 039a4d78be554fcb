// The main dialog's hub: it owns the two MIDI ports, the dispatcher's timer, the reply handshake
// state and the version texts, and carries the operations that the workers run. It is no window:
// it talks to a DialogView, which a front-end implements.
//
// Threads that meet here:
//  - the user-interface thread: the handlers (OnInitDialog, OnExecute, OnVersionCheck,
//    OnRescanDevice, OnVersionCheckDone, OnDestroy), opening and closing the ports;
//  - the MIDI input driver thread: appends received SysEx messages to MidiIn's queue;
//  - the timer thread: DispatchReplies every tick, from OnInitDialog until OnDestroy;
//  - one worker at a time: UpdateThreadProc or VersionCheckThreadProc.
// A worker waits on ReplyEvent; the dispatcher stores ReplyStatus (and ReplyIdentity, the read
// data) before it signals, so a worker whose wait returns sees them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/dx_midi_in.h"
#include "midi/dx_midi_out.h"
#include "midi/dx_mtimer.h"
#include "platform/kernel.h"
#include "protocol/frames.h"
#include "updater/dialog_view.h"
#include "updater/timings.h"

namespace r9 {

// The ports that the dialog preselects: the Japanese name in code page 932 and in UTF-8 (the
// encoding port names come in on Linux), then the two English names.
extern const std::array<std::string, 3> DefaultPortNames;
extern const char* const kDefaultPortNameUtf8;

// Where the data of Read replies lands. One Read reply carries at most 16383 bytes; a reply
// that would not fit behind ReadPosition is refused.
constexpr size_t kReadBufferSize = 65536;

// The largest read whose reply fits one 8,192-byte receive buffer of the input port (the port
// does not join the pieces of a longer message): 17 + 8,175 packed bytes.
constexpr uint32_t kMaxReadSize = 7153;
// The read-back goes no smaller: 4-byte reads of 3.8 MB would keep the cable busy for over half
// an hour. A device that refuses this size gets a sampled read-back instead.
constexpr uint32_t kMinReadBackSize = 256;
// At most this many repair rounds follow a read-back that differs.
constexpr int kMaxRepairRounds = 2;

// The accepted identities, searched in order.
extern const std::array<Identity, 3> AcceptedIdentities;

// Labels of the version texts, in the order the dialog keeps them.
enum VersionSlot { kSubMcu = 0, kBoot = 1, kPreset = 2, kSystem = 3 };

// One reply as the dispatcher acted on it, kept for the worker in arrival order. Replies carry
// no sequence number, so the worker matches them to its request by their kind and by when they
// came (see replies.cpp).
enum class ReplyKind : uint8_t {
  kStatus,    // a Status frame; status is the device's
  kAck,       // an Acknowledge frame
  kRead,      // a Read reply (status 0 with its data, or 1 when it failed)
  kIdentity,  // an Identity Reply
  kAbort,     // the window is closing (status 255)
};
struct Reply {
  ReplyKind kind = ReplyKind::kStatus;
  int32_t status = 0;
  uint32_t length = 0;        // a Read reply: the number of data bytes it said it carries
  std::vector<uint8_t> data;  // a good Read reply: those bytes
  uint64_t arrival = 0;       // its place in the input port's order of arrival (0: none)
};

// How one Read request ended.
enum class ReadResult {
  kOk,       // its own reply brought every byte asked for
  kTimeout,  // no answer within the read wait
  kAborted,  // the window is closing
  kRefused,  // an error status
  kCut,      // a good reply with fewer bytes than asked for: the device's own limit
  kFailed,   // its reply failed the CRC or was cut off on the way
};

// What the verify of the flash found for one written row of the plan.
struct VerifyImageResult {
  uint32_t resourceId = 0;
  uint32_t address = 0;
  uint32_t size = 0;
  bool read = false;             // every byte (or every sample) was read back
  bool sampled = false;          // 4 bytes of every block, not every byte
  uint32_t firstDiff = 0;        // the first differing flash address, when differingBlocks > 0
  uint32_t differingBlocks = 0;  // 4096-byte blocks with at least one differing byte
};
enum class VerifyOutcome { kNotRun, kMatch, kDiffers, kTimeout, kUnreadable, kAborted, kIdentifyFailed };

struct DialogConfig {
  int instanceNumber = 1;
  Timings timings;
  MidiApi* midi = nullptr;    // null: DefaultMidiApi()
  TimerApi* timer = nullptr;  // null: DefaultTimerApi()
};

class CR9UpdaterDlg {
 public:
  explicit CR9UpdaterDlg(DialogView& view, const DialogConfig& config = {});
  ~CR9UpdaterDlg();
  CR9UpdaterDlg(const CR9UpdaterDlg&) = delete;
  CR9UpdaterDlg& operator=(const CR9UpdaterDlg&) = delete;

  // --- Window handlers (user-interface thread) ---
  bool OnInitDialog();
  void FillDeviceLists();
  int OpenPorts();
  void OnExecute();
  void OnVersionCheck();
  void OnRescanDevice();
  int32_t OnVersionCheckDone(uintptr_t wParam, intptr_t lParam);
  void OnAbout();
  // The window is going: stops dispatching, closes both ports, wakes a waiting worker with 255.
  void OnDestroy();

  // --- Worker services (any thread) ---
  void ShowError(int stringId);
  void ShowErrorAndRestore(int stringId);
  void RestoreControls();
  void EnableCommandButtons(bool enable);
  int ClosePorts();

  // --- Frame senders (worker and timer threads) ---
  int SendSysEx(const uint8_t* bytes, size_t length);
  int SendStatus(uint8_t status);
  int SendErase(uint8_t deviceId, uint32_t address, uint32_t size);
  int SendWriteBlock(uint8_t deviceId, const uint8_t* data, uint32_t address, uint32_t n);
  // Told after each SendSysEx whether the frame at bytes went out (a trace writes only those).
  void SetSendResultObserver(std::function<void(const uint8_t* bytes, bool sent)> observer);

  // --- Reply handshake ---
  static void OnDispatchTimer(uint32_t id, uint32_t msg, uintptr_t user, uintptr_t dw1, uintptr_t dw2);
  void DispatchReplies();
  int ReadDeviceMemory(uint32_t address, uint32_t length, uint8_t* out);
  uint32_t WaitForReply(uint32_t timeoutMs);
  // Called on the dispatcher's thread with each received message just before it is acted on
  // (for measurements). Set it before OnInitDialog, or while no message arrives.
  void SetDispatchObserver(std::function<void(const uint8_t*, size_t)> observer);

  // --- Matching replies to requests (worker thread) ---
  // Marks the moment just before a request leaves: every message that reached the input port
  // before it is no answer to it, however late the dispatcher hands it on. Returns how many
  // replies no wait took since the previous request (dropped as stale or of another kind, or
  // still kept), and in *refusals how many of them were error statuses.
  size_t BeginRequest(size_t* refusals = nullptr);
  // Waits up to timeoutMs for a reply that arrived after the request and that accept takes;
  // the others are dropped. WAIT_OBJECT_0 with the reply (kAbort when the window is closing),
  // or WAIT_TIMEOUT.
  uint32_t AwaitReply(uint32_t timeoutMs, const std::function<bool(const Reply&)>& accept, Reply* reply);
  // After a timed-out wait an answer may still come and would end a later wait. Sends a fence
  // (a 4-byte Read of the BOOT stamp in the update mode, else an Identity Request) and drops
  // every reply until its answer has come. 0 in step, 1 when its answer did not come within
  // timeoutMs, 255 when closing.
  int Resync(uint32_t timeoutMs, bool byIdentity);
  // One Read request of length bytes at address into out. *got: the bytes a cut reply brought.
  // A reply whose bytes equal one of ignore's (the answers of the reads before it) is taken for
  // a copy of an earlier answer and passed over.
  ReadResult ReadOnce(uint32_t address, uint32_t length, uint8_t* out, uint32_t* got = nullptr,
                      const std::vector<std::vector<uint8_t>>* ignore = nullptr);
  // Reads length bytes with Read requests of at most GetReadSize() bytes, no two requests in a
  // row of one length (so that a copy of the previous reply never passes for the next), going
  // smaller when the device refuses or cuts a long read, down to kMinReadBackSize. kRefused
  // when even that is refused or cut; kFailed after repeated bad replies.
  ReadResult ReadSpan(uint32_t address, uint32_t length, uint8_t* out);

  // --- Read-back: read the flash back and compare it with the carried images ---
  void OnVerify();  // like OnVersionCheck, with the verify worker
  // An update reads back what it wrote before Finish-update (the default). Off: the update
  // sends only the frames of the plan, and "Version update completed." rests on the replies.
  void SetVerifyAfterUpdate(bool on) { verifyAfterUpdate_ = on; }
  // The bytes per Read request a read-back starts with (kMinReadBackSize to kMaxReadSize).
  void SetReadSize(uint32_t bytes) { readSize_ = startReadSize_ = bytes; }
  uint32_t GetReadSize() const { return readSize_; }
  bool ReadBackSampled() const { return sampled_.load(); }
  // Reads back the written rows of the plan (without the BOOT rows when withBoot is false).
  VerifyOutcome VerifyFlash(bool withBoot, std::vector<VerifyImageResult>* results);
  // Erases the SYSTEM region, erases and writes every other image that differs, then writes
  // the SYSTEM image: a repair cut short leaves no SYSTEM stamp. 0 done, -1 failed (a box was
  // shown) or closing.
  int RepairFlash(const std::vector<VerifyImageResult>& results);
  // Update rounds of the last update: how many repairs ran (for the front-ends and tests).
  int RepairRounds() const { return repairRounds_.load(); }
  VerifyOutcome GetVerifyOutcome() const { return verifyOutcome_.load(); }
  std::vector<VerifyImageResult> GetVerifyResults() const;
  static std::string BuildVerifyReport(const std::vector<VerifyImageResult>& results);

  // --- Engine (worker thread) ---
  int EraseRegion(uint32_t address, uint32_t size);
  int WriteImage(uint32_t address, uint32_t size, uint32_t resourceId);
  int RunUpdatePlan();
  void ShowVersionReport();
  std::string BuildVersionReport() const;

  // --- State, for the front-ends and tests ---
  int32_t GetReplyStatus() const { return ReplyStatus.load(); }
  int GetBusy() const { return Busy.load(); }
  Identity GetReplyIdentity() const;
  int32_t GetReadPosition() const;
  // A copy of the first n bytes of ReadBuffer.
  std::vector<uint8_t> ReadBufferBytes(size_t n) const;
  const Timings& GetTimings() const { return timings_; }
  int GetInstanceNumber() const { return instanceNumber_; }
  const std::vector<std::string>& PortNames(PortList list) const { return list == PortList::In ? inNames_ : outNames_; }
  DialogView& View() { return view_; }
  CDxMidiIn& MidiInPort() { return MidiIn; }
  CDxMidiOut& MidiOutPort() { return MidiOut; }
  bool WorkerRunning() const { return workerRunning_.load(); }
  // Waits for a worker that has ended (or is ending) and releases its thread.
  void JoinWorker();

  // Members the workers use directly.
  const uint8_t* ImageData = nullptr;
  int32_t ImageSize = 0;

 private:
  friend unsigned UpdateThreadProc(void* parameter);
  friend unsigned VersionCheckThreadProc(void* parameter);
  friend int IdentifyDevice(CR9UpdaterDlg* dialog);
  friend unsigned VerifyThreadProc(void* parameter);

  // Disables the five controls in the given order, marks the dialog busy and starts the worker.
  void StartRun(const std::array<Control, 5>& disableOrder, unsigned (*proc)(void*));
  // Starts a worker thread procedure on a thread of its own.
  void StartWorker(unsigned (*proc)(void*));
  bool OpenOutPort();
  bool OpenInPort();
  void DispatchOne(const uint8_t* m, size_t length, uint64_t arrival);
  void DispatchReadReply(const uint8_t* m, size_t length, uint64_t arrival);
  void Signal(int32_t status);
  // The read-back of one image: every byte, or 4 bytes of every block when sampled.
  VerifyOutcome ReadBackImage(const uint8_t* image, VerifyImageResult* result, int32_t* progress);
  VerifyOutcome SampleImage(const uint8_t* image, VerifyImageResult* result, int32_t* progress);
  // Keeps a reply for the worker; called before the signal.
  void Record(Reply reply);
  // An Identity Reply that a wait drops may be the answer to an earlier fence.
  void DropReplyLocked(const Reply& reply);

  CDxMidiIn MidiIn;
  CDxMidiOut MidiOut;
  CDxMTimer DispatchTimer;
  std::unique_ptr<ReplyEvent> ReplyEvent_;
  std::atomic<int32_t> ReplyStatus{0};
  Identity ReplyIdentity{};
  std::atomic<int> Busy{0};

 public:
  // Kept in the order SUBMCU, BOOT, PRESET, SYSTEM (VersionSlot).
  std::array<std::string, 4> DeviceVersions;
  std::array<std::string, 4> CarriedVersions;

 private:
  // A version check's worker put an unreadable stamp's text on the status line (workers only).
  bool stampTextShown_ = false;
  DialogView& view_;
  const Timings timings_;
  const int instanceNumber_;
  std::vector<std::string> inNames_;
  std::vector<std::string> outNames_;

  // Dispatching runs while this is true. A tick holds dispatchMutex_ throughout, so OnDestroy
  // can wait for one that is half-way through before it stores the abort status.
  std::mutex dispatchMutex_;
  std::atomic<bool> dispatching_{false};
  // Set once the window is going, after the abort status: every later wait ends at once, so a
  // worker step that goes on after a failed wait (the PRESET read) cannot wait out its time.
  std::atomic<bool> aborted_{false};
  bool destroyed_ = false;

  // Guards ReadBuffer, ReadPosition and ReplyIdentity against a late reply dispatched while the
  // worker resets or copies them.
  mutable std::mutex readMutex_;
  std::unique_ptr<uint8_t[]> ReadBuffer;
  int32_t ReadPosition = 0;

  std::thread worker_;
  std::atomic<bool> workerRunning_{false};

  // Replies in arrival order, for the worker to match (guarded by repliesMutex_).
  std::mutex repliesMutex_;
  std::deque<Reply> replies_;
  // Fence requests sent whose answer has not come yet, by kind: a later fence waits for them too.
  int identityFencesOutstanding_ = 0;
  // The input port's arrival count when the current request left (guarded by repliesMutex_).
  uint64_t requestArrival_ = 0;
  // Replies no wait took since the last BeginRequest, and the error statuses among them.
  size_t untaken_ = 0;
  size_t untakenRefusals_ = 0;
  // A Read request timed out: its answer may still come and end a later read's wait.
  bool readOutstanding_ = false;
  // The length of the last Read request sent (worker thread only).
  uint32_t lastReadLength_ = 0;

  std::mutex sendResultMutex_;
  std::function<void(const uint8_t*, bool)> sendResultObserver_;

  bool verifyAfterUpdate_ = true;
  std::atomic<bool> sampled_{false};
  std::atomic<int> repairRounds_{0};
  bool bootWritten_ = true;  // the last update plan wrote the BOOT rows
  void StoreVerifyResults(VerifyOutcome outcome, const std::vector<VerifyImageResult>& results);
  uint32_t readSize_ = kMaxReadSize;       // the size that works, once a read-back has run
  uint32_t startReadSize_ = kMaxReadSize;  // what each run starts with
  std::atomic<VerifyOutcome> verifyOutcome_{VerifyOutcome::kNotRun};
  mutable std::mutex verifyMutex_;
  std::vector<VerifyImageResult> verifyResults_;

  std::function<void(const uint8_t*, size_t)> dispatchObserver_;  // used on the timer's thread only
};

unsigned UpdateThreadProc(void* parameter);
unsigned VersionCheckThreadProc(void* parameter);
unsigned VerifyThreadProc(void* parameter);
int IdentifyDevice(CR9UpdaterDlg* dialog);

}  // namespace r9
