// Matching the device's replies to the worker's requests.
//
// Replies carry no sequence number, and the device answers one frame after the other. Left to
// itself, whatever reply comes next would end the current wait: an answer that comes after its
// wait has timed out (a slow device) would end the next wait, and from then on every wait would
// be ended by the answer to the frame before, so a refused block would make the updater resend
// the block after it and report success with the refused one missing. Three rules keep every
// wait to its own answer:
//  - a reply that came before the request was sent is no answer to it (BeginRequest);
//  - each wait takes only the kinds of reply its request can get (an Acknowledge or an error
//    status for a block, a Status frame for an erase, a Read reply for a read, ...), so a
//    doubled answer of another kind never ends it;
//  - after a wait has timed out, before anything else is sent that could get the same kind of
//    answer, a fence request goes out whose answer no other request gets, and every reply up
//    to that answer is dropped: the device answers in order, so nothing stale is left behind.
// A run without faults sends exactly the frames it always did; the fence goes out only after a
// time-out, within the time the step it serves may take, and counts as one of that step's tries.
#include <chrono>
#include <utility>

#include "firmware/image_set.h"
#include "updater/r9_updater_dlg.h"

namespace r9 {
namespace {

// Enough for every reply a worker may still be waiting for; older ones are stale anyway.
constexpr size_t kMaxKeptReplies = 256;

}  // namespace

void CR9UpdaterDlg::Record(Reply reply) {
  std::lock_guard<std::mutex> lock(repliesMutex_);
  if (replies_.size() == kMaxKeptReplies) {
    DropReplyLocked(replies_.front());
    replies_.pop_front();
  }
  replies_.push_back(std::move(reply));
}

void CR9UpdaterDlg::DropReplyLocked(const Reply& reply) {
  if (reply.kind == ReplyKind::kIdentity && identityFencesOutstanding_ > 0) --identityFencesOutstanding_;
}

size_t CR9UpdaterDlg::BeginRequest(size_t* refusals) {
  // The event first: a reply that slips in between is dropped below, its signal only wakes the
  // wait once for nothing.
  ReplyEvent_->ResetEvent();
  std::lock_guard<std::mutex> lock(repliesMutex_);
  const size_t dropped = replies_.size();
  if (refusals) *refusals = 0;
  for (const Reply& r : replies_) {
    if (refusals && r.kind == ReplyKind::kStatus && r.status != 0) ++*refusals;
    DropReplyLocked(r);
  }
  replies_.clear();
  return dropped;
}

uint32_t CR9UpdaterDlg::AwaitReply(uint32_t timeoutMs, const std::function<bool(const Reply&)>& accept, Reply* reply) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (aborted_.load()) {
      *reply = Reply{ReplyKind::kAbort, 255, 0, {}};
      return WAIT_OBJECT_0;
    }
    {
      std::lock_guard<std::mutex> lock(repliesMutex_);
      while (!replies_.empty()) {
        Reply r = std::move(replies_.front());
        replies_.pop_front();
        if (accept(r)) {
          *reply = std::move(r);
          return WAIT_OBJECT_0;
        }
        DropReplyLocked(r);
      }
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return WAIT_TIMEOUT;
    ReplyEvent_->Wait(uint32_t(left));
  }
}

int CR9UpdaterDlg::Resync(uint32_t timeoutMs, bool byIdentity) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  BeginRequest();
  if (!byIdentity) {
    // In the update mode the device answers a Read, and nothing else the update sends does.
    // Each fence asks for a length of its own (4 to 7 bytes, in turn), so its answer is told
    // apart from an earlier fence's: a fence whose answer was lost on the cable then costs one
    // try, not every try after it.
    const uint32_t length = kStampLength + readFenceSerial_++ % 4;
    SendSysEx(SendBuffer, BuildReadRequest(SendBuffer, DeviceId(), kBootStampAddress, length));
    Reply reply;
    if (AwaitReply(
            timeoutMs, [length](const Reply& r) { return r.kind == ReplyKind::kRead && r.length == length; },
            &reply) != WAIT_OBJECT_0)
      return 1;
    return reply.kind == ReplyKind::kAbort ? 255 : 0;
  }
  // Answered in either mode; in the read-only runs no other request gets an Identity Reply.
  // Identity Replies all look alike, so an earlier fence that timed out is still owed its
  // answer: wait for that one too.
  SendSysEx(kIdentityRequestImage, kIdentityRequestLength);
  int* outstanding = &identityFencesOutstanding_;
  {
    std::lock_guard<std::mutex> lock(repliesMutex_);
    ++*outstanding;
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(repliesMutex_);
      if (*outstanding == 0) return 0;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    Reply reply;
    if (left <= 0 ||
        AwaitReply(
            uint32_t(left), [](const Reply& r) { return r.kind == ReplyKind::kIdentity; }, &reply) != WAIT_OBJECT_0)
      return 1;
    if (reply.kind == ReplyKind::kAbort) return 255;
    std::lock_guard<std::mutex> lock(repliesMutex_);
    if (*outstanding > 0) --*outstanding;
  }
}

}  // namespace r9
