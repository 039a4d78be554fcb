// Matching the device's replies to the worker's requests.
//
// Replies carry no sequence number, and the device answers one frame after the other. Left to
// itself, whatever reply comes next would end the current wait: an answer that comes after its
// wait has timed out (a slow device) would end the next wait, and from then on every wait would
// be ended by the answer to the frame before, so a refused block would make the updater resend
// the block after it and report success with the refused one missing. Three rules keep every
// wait to its own answer:
//  - a reply that reached the input port before the request was sent is no answer to it. This
//    is decided by the port's order of arrival, not by when the dispatcher hands the reply on,
//    so a doubled answer still queued when the next request leaves cannot end that request;
//  - each wait takes only the kinds of reply its request can get (an Acknowledge or an error
//    status for a block, a Status frame for an erase, a Read reply for a read, ...), so a
//    doubled answer of another kind never ends it;
//  - after a wait has timed out, before anything else is sent that could get the same kind of
//    answer, a fence request goes out, and every reply up to its answer is dropped: the device
//    answers in order, so nothing stale is left behind.
// These rules narrow the gap but cannot close it: a copy of an answer that arrives after the
// next request left looks like that request's own. So an update reads the flash back before it
// says it is done (verify.cpp); the rules keep a fault-free run to exactly the frames of the update
// and make the read-back rarely find anything.
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
  for (const Reply& r : replies_) {
    ++untaken_;
    if (r.kind == ReplyKind::kStatus && r.status != 0) ++untakenRefusals_;
    DropReplyLocked(r);
  }
  replies_.clear();
  // Everything that has reached the port by now came before the request.
  requestArrival_ = MidiIn.ArrivalCount();
  const size_t untaken = untaken_;
  if (refusals) *refusals = untakenRefusals_;
  untaken_ = 0;
  untakenRefusals_ = 0;
  return untaken;
}

uint32_t CR9UpdaterDlg::AwaitReply(uint32_t timeoutMs, const std::function<bool(const Reply&)>& accept, Reply* reply) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (aborted_.load()) {
      *reply = Reply{ReplyKind::kAbort, 255, 0, {}, 0};
      return WAIT_OBJECT_0;
    }
    {
      std::lock_guard<std::mutex> lock(repliesMutex_);
      while (!replies_.empty()) {
        Reply r = std::move(replies_.front());
        replies_.pop_front();
        if (r.arrival > requestArrival_ && accept(r)) {
          *reply = std::move(r);
          return WAIT_OBJECT_0;
        }
        ++untaken_;
        if (r.kind == ReplyKind::kStatus && r.status != 0) ++untakenRefusals_;
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
  if (!byIdentity) {
    // In the update mode the device answers a Read, and no other request of the update gets a
    // Read reply. Every fence asks for 4 bytes, the one size every device is known to answer.
    // If an earlier fence's late answer ends this one in place of its own, what is still to
    // come is a Read reply, which no block or erase wait takes; and the read-back finds
    // whatever a wrong pairing may still have let through.
    const size_t n = BuildReadRequest(SendBuffer, DeviceId(), kBootStampAddress, kStampLength);
    lastReadLength_ = kStampLength;
    BeginRequest();
    SendSysEx(SendBuffer, n);
    Reply reply;
    if (AwaitReply(
            timeoutMs, [](const Reply& r) { return r.kind == ReplyKind::kRead && r.length == kStampLength; },
            &reply) != WAIT_OBJECT_0)
      return 1;
    return reply.kind == ReplyKind::kAbort ? 255 : 0;
  }
  // Answered in either mode; in the read-only runs no other request gets an Identity Reply.
  // Identity Replies all look alike, so an earlier fence that timed out is still owed its
  // answer: wait for that one too.
  BeginRequest();
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
