#include "midi/dx_midi_in.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace r9 {

namespace {

// Receive buffers whose release the driver did not confirm (a failed stop or reset). The driver
// may still write into them, so they stay allocated for the rest of the process.
void KeepForDriver(MIDIHDR* header) {
  static std::mutex mutex;
  static auto* kept = new std::vector<MIDIHDR*>();  // reachable until the process ends
  std::lock_guard lock(mutex);
  kept->push_back(header);
}

}  // namespace

CDxMidiIn::CDxMidiIn(MidiApi& api) : api_(api) {}

CDxMidiIn::~CDxMidiIn() {
  Close();
  while (PeekSysEx() != nullptr) PopSysEx();
}

unsigned CDxMidiIn::GetDeviceCount() { return api_.midiInGetNumDevs(); }

void CDxMidiIn::GetDeviceName(int index, char* buffer) {
  MIDIINCAPSA caps{};
  // A refused query yields an empty name rather than whatever the record held.
  if (api_.midiInGetDevCapsA(uintptr_t(index), &caps, sizeof caps) != MMSYSERR_NOERROR) caps.szPname[0] = 0;
  caps.szPname[kMaxPnameLen - 1] = 0;
  std::memcpy(buffer, caps.szPname, std::strlen(caps.szPname) + 1);
}

void CDxMidiIn::DropErrorText(MMRESULT code) {
  char text[1024];
  api_.midiInGetErrorTextA(code, text, sizeof text);
}

void CDxMidiIn::ReleaseReceiveBuffer(bool driverMayHoldIt) {
  if (receiveHeader_ == nullptr) return;
  if (driverMayHoldIt) {
    KeepForDriver(receiveHeader_);
  } else {
    delete[] receiveHeader_->lpData;
    delete receiveHeader_;
  }
  receiveHeader_ = nullptr;
}

bool CDxMidiIn::Open(int index) {
  std::lock_guard portLock(portMutex_);
  if (started_.load()) return true;
  deviceIndex_ = index;

  auto* header = new (std::nothrow) MIDIHDR{};
  char* buffer = header != nullptr ? new (std::nothrow) char[kReceiveBufferSize]() : nullptr;
  if (buffer == nullptr) {
    delete header;
    return false;
  }
  header->lpData = buffer;
  header->dwBufferLength = kReceiveBufferSize;
  receiveHeader_ = header;
  {
    std::lock_guard lock(callbackMutex_);
    closing_ = false;
  }

  const uint32_t size = sizeof(MIDIHDR);
  MMRESULT result = api_.midiInOpen(&inputHandle_, uint32_t(deviceIndex_), &CDxMidiIn::MidiInProc,
                                    reinterpret_cast<uintptr_t>(this), CALLBACK_FUNCTION);
  const bool opened = result == MMSYSERR_NOERROR;
  bool prepared = false;
  bool added = false;
  if (result == MMSYSERR_NOERROR) result = api_.midiInReset(inputHandle_);
  if (result == MMSYSERR_NOERROR) {
    result = api_.midiInPrepareHeader(inputHandle_, receiveHeader_, size);
    prepared = result == MMSYSERR_NOERROR;
  }
  if (result == MMSYSERR_NOERROR) {
    result = api_.midiInAddBuffer(inputHandle_, receiveHeader_, size);
    added = result == MMSYSERR_NOERROR;
  }
  if (result == MMSYSERR_NOERROR) result = api_.midiInStart(inputHandle_);
  if (result == MMSYSERR_NOERROR) {
    started_.store(1);
    return true;
  }
  DropErrorText(result);

  // Give back what this open took, so the port is closed exactly as before.
  {
    std::lock_guard lock(callbackMutex_);
    closing_ = true;
  }
  bool driverMayHoldBuffer = added;
  if (opened) {
    if (added) driverMayHoldBuffer = api_.midiInReset(inputHandle_) != MMSYSERR_NOERROR;
    if (prepared && !driverMayHoldBuffer) api_.midiInUnprepareHeader(inputHandle_, receiveHeader_, size);
    api_.midiInClose(inputHandle_);
  }
  ReleaseReceiveBuffer(driverMayHoldBuffer);
  return false;
}

void CDxMidiIn::Close() {
  std::lock_guard portLock(portMutex_);
  if (!started_.load()) return;
  {
    // From here on the handler hands no buffer back to the driver.
    std::lock_guard lock(callbackMutex_);
    closing_ = true;
  }
  bool bufferReturned = false;
  if (inputHandle_ != nullptr) {
    MMRESULT result = api_.midiInStop(inputHandle_);
    if (result == MMSYSERR_NOERROR) {
      result = api_.midiInReset(inputHandle_);
      bufferReturned = result == MMSYSERR_NOERROR;
    }
    if (result == MMSYSERR_NOERROR) result = api_.midiInUnprepareHeader(inputHandle_, receiveHeader_, sizeof(MIDIHDR));
    if (result == MMSYSERR_NOERROR) result = api_.midiInClose(inputHandle_);
    if (result != MMSYSERR_NOERROR) DropErrorText(result);
  }
  // Only a successful reset proves that the driver has given the buffer back.
  ReleaseReceiveBuffer(!bufferReturned);
  started_.store(0);
}

const uint8_t* CDxMidiIn::PeekSysEx(size_t* length, uint64_t* arrival) {
  std::lock_guard lock(queueMutex_);
  if (length != nullptr) *length = queueHead_ != nullptr ? queueHead_->length : 0;
  if (arrival != nullptr) *arrival = queueHead_ != nullptr ? queueHead_->arrival : 0;
  return queueHead_ != nullptr ? queueHead_->data.get() : nullptr;
}

void CDxMidiIn::PopSysEx() {
  SysExNode* head;
  {
    std::lock_guard lock(queueMutex_);
    head = queueHead_;
    if (head == nullptr) return;
    queueHead_ = head->next;
    if (queueHead_ == nullptr) queueTail_ = nullptr;
  }
  delete head;
}

int CDxMidiIn::ReadShortMessage(uint8_t* buffer, int maxLength) {
  std::lock_guard lock(queueMutex_);
  if (ringRead_ == ringWrite_) return 0;
  int n = shortRing_[ringRead_][0];
  if (n > maxLength) n = maxLength;
  if (n < 0 || buffer == nullptr) n = 0;
  if (n > 0) std::memcpy(buffer, &shortRing_[ringRead_][1], size_t(n));
  if (++ringRead_ == kRingSize) ringRead_ = 0;
  return n;
}

void CDxMidiIn::SetReceiveObserver(std::function<void(const uint8_t*, size_t)> observer) {
  std::lock_guard lock(observerMutex_);
  observer_ = std::move(observer);
}

void CDxMidiIn::SetArrivalListener(std::function<void()> listener) {
  std::lock_guard lock(listenerMutex_);
  listener_ = std::move(listener);
}

void CDxMidiIn::MidiInProc(HMIDIIN handle, uint32_t message, uintptr_t instance, uintptr_t param1, uintptr_t param2) {
  reinterpret_cast<CDxMidiIn*>(instance)->OnMidiInMessage(handle, message, instance, param1, param2);
}

void CDxMidiIn::OnMidiInMessage(HMIDIIN handle, uint32_t message, uintptr_t /*instance*/, uintptr_t param1,
                                uintptr_t /*param2*/) {
  switch (message) {
    case MIM_DATA: {
      // No test for a full ring: the oldest unread entries are overwritten.
      std::lock_guard lock(queueMutex_);
      uint8_t* entry = shortRing_[ringWrite_];
      entry[0] = 3;
      entry[1] = uint8_t(param1);
      entry[2] = uint8_t(param1 >> 8);
      entry[3] = uint8_t(param1 >> 16);
      if (++ringWrite_ == kRingSize) ringWrite_ = 0;
      break;
    }
    case MIM_LONGDATA: {
      auto* header = reinterpret_cast<MIDIHDR*>(param1);
      if (header == nullptr) return;
      bool queued = false;
      {
        std::lock_guard callbackLock(callbackMutex_);
        // A buffer that comes back empty (as the reset of a close returns it) or not done makes
        // no entry and stays with the port.
        if (!(header->dwFlags.load() & MHDR_DONE) || header->dwBytesRecorded == 0) return;
        queued = OnLongData(header);
        if (!closing_) {
          api_.midiInPrepareHeader(handle, header, sizeof(MIDIHDR));
          api_.midiInAddBuffer(handle, header, sizeof(MIDIHDR));
        }
      }
      // After the buffer is back with the driver, so that the next message can arrive while the
      // consumer runs.
      if (queued) {
        std::lock_guard lock(listenerMutex_);
        if (listener_) listener_();
      }
      break;
    }
    default:  // open, close, error and long-error notifications
      break;
  }
}

bool CDxMidiIn::OnLongData(MIDIHDR* header) {
  const size_t length = std::min(header->dwBytesRecorded, header->dwBufferLength);
  auto* node = new (std::nothrow) SysExNode;
  if (node == nullptr) return false;  // out of memory: this message is lost, the port keeps receiving
  node->data.reset(new (std::nothrow) uint8_t[length]);
  if (node->data == nullptr) {
    delete node;
    return false;
  }
  std::memcpy(node->data.get(), header->lpData, length);
  node->length = length;
  {
    // Before the append: once queued, the consumer may pop and free the entry at any time.
    std::lock_guard lock(observerMutex_);
    if (observer_) observer_(node->data.get(), length);
  }
  std::lock_guard lock(queueMutex_);
  node->arrival = arrivals_.load() + 1;
  arrivals_.store(node->arrival);
  if (queueTail_ == nullptr) {
    queueHead_ = node;
  } else {
    queueTail_->next = node;
  }
  queueTail_ = node;
  return true;
}

}  // namespace r9
