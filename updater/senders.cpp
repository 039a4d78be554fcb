// Sending frames. Workers assemble their requests in SendBuffer; the dispatcher's answers use
// storage of their own, so an answer never disturbs a worker's frame. The output port sends
// one whole message at a time.
#include "updater/r9_updater_dlg.h"

namespace r9 {

int CR9UpdaterDlg::SendSysEx(const uint8_t* bytes, size_t length) {
  MIDIHDR header;
  header.lpData = reinterpret_cast<char*>(const_cast<uint8_t*>(bytes));
  header.dwBufferLength = uint32_t(length);
  header.dwFlags = 0;
  const bool sent = MidiOut.SendLongMessage(&header);
  std::function<void(const uint8_t*, bool)> observer;
  {
    std::lock_guard<std::mutex> lock(sendResultMutex_);
    observer = sendResultObserver_;
  }
  if (observer) observer(bytes, sent);
  return sent ? 0 : -1;
}

void CR9UpdaterDlg::SetSendResultObserver(std::function<void(const uint8_t* bytes, bool sent)> observer) {
  std::lock_guard<std::mutex> lock(sendResultMutex_);
  sendResultObserver_ = std::move(observer);
}

int CR9UpdaterDlg::SendStatus(uint8_t status) {
  uint8_t frame[kStatusLength];
  return SendSysEx(frame, BuildStatus(frame, DeviceId(), status));
}

int CR9UpdaterDlg::SendErase(uint8_t deviceId, uint32_t address, uint32_t size) {
  return SendSysEx(SendBuffer, BuildErase(SendBuffer, deviceId, address, size));
}

int CR9UpdaterDlg::SendWriteBlock(uint8_t deviceId, const uint8_t* data, uint32_t address, uint32_t n) {
  const size_t length = BuildWriteBlock(SendBuffer, deviceId, data, address, n);
  if (length == 0) return -1;
  return SendSysEx(SendBuffer, length);
}

}  // namespace r9
