#include "link/active_session.h"

#include "link/framing.h"
#include "link/json.h"
#include "link/stage_times.h"
#include "platform/log.h"

namespace vistrel {
namespace {

// The preview is fresh while less than 1001 ms have passed since its tick.
constexpr uint64_t kPreviewFreshMs = 1000;

}  // namespace

bool ActiveSession::Claim(const std::shared_ptr<Connection>& connection,
                          const std::string& device_name,
                          const std::function<void(bool camera_allowed)>& reply) {
  MutexLock lock(mutex_);
  bool busy = false;
  if (active_ && active_->fingerprint == connection->fingerprint) {
    if (!connection->wired && active_->wired) {
      busy = true;  // the cable wins
    } else {
      if (connection->wired && !active_->wired) {
        active_->handed_to_cable = true;
        LogLine("[usb] wired session replaces the Wi-Fi session\n");
      } else {
        LogLine("[net] the phone reconnected; its old session is closed\n");
      }
      active_->Shutdown();
    }
  } else if (active_) {
    busy = true;
  }
  if (busy) {
    {
      MutexLock status(status_mutex_);
      phone_.refused_phone = device_name;
      phone_.refused_at = Now();
    }
    LogLine("[net] \"%s\" refused: another phone is streaming\n", device_name.c_str());
    return false;
  }
  active_ = connection;
  reply(camera_allowed_.load());
  return true;
}

void ActiveSession::Begin(const std::string& device_name, bool wired) {
  {
    MutexLock status(status_mutex_);
    phone_.phone_name = device_name;
    phone_.link_kind = wired ? "wired" : "wifi";
    phone_.battery = -1.0;
    phone_.thermal_state.clear();
    phone_.phone_model.clear();
  }
  state_ = SessionState::kActive;
}

void ActiveSession::ReportStatus(std::optional<double> battery, std::optional<std::string> thermal,
                                 std::optional<std::string> model) {
  MutexLock status(status_mutex_);
  if (battery && *battery >= 0.0 && *battery <= 1.0) phone_.battery = *battery;
  if (thermal) phone_.thermal_state = std::move(*thermal);
  if (model) phone_.phone_model = std::move(*model);
}

bool ActiveSession::IsActive(const Connection& connection) const {
  MutexLock lock(mutex_);
  return active_.get() == &connection;
}

bool ActiveSession::VideoGateOpen(const Connection& connection) const {
  // The awaited sequence is set before the gate opens (SetCameraAllowed), so
  // reading the gate first never pairs an open gate with a stale sequence.
  return camera_allowed_.load() &&
         connection.acknowledged_allow.load() == connection.awaited_allow.load() &&
         !connection.closing.load();
}

bool ActiveSession::DeliverPicture(const Connection& connection, const DecodedPicture& picture) {
  MutexLock lock(mutex_);
  if (!camera_allowed_.load() || active_.get() != &connection || connection.closing.load()) {
    return false;
  }
  if (frame_writer_) {
    StageScope exchange(Stage::kExchange);
    if (frame_writer_->WriteFrame(picture)) {
      ++frames_delivered_;
      NotePicturePublished(frame_writer_->LastPublishNs());
    }
  }
  // Nobody reads the preview unless a window shows it; the copy is then waste.
  const uint64_t asked = preview_asked_.load();
  const uint64_t now = Now();
  if (asked == 0 || now - (asked - 1) > kPreviewFreshMs) return true;
  StageScope preview(Stage::kPreview);
  int target = -1;
  {
    MutexLock preview_lock(preview_mutex_);
    for (int i = 0; i < 3 && target < 0; ++i) {
      if (i != preview_.current && preview_.readers[size_t(i)] == 0) target = i;
    }
  }
  // Only with several readers at once can every buffer be busy; this picture
  // then skips the preview.
  if (target < 0) return true;
  // Filled outside the lock: the slot is neither current nor lent, and
  // only this thread (under mutex_) fills slots.
  const size_t width = static_cast<size_t>(picture.width());
  const size_t height = static_cast<size_t>(picture.height());
  PreviewSlot& slot = preview_slots_[size_t(target)];
  const Yuv420View* planes = picture.planes();
  // The decoder's planes kept as they are: no copy at all.
  slot.keeper = planes != nullptr ? picture.Retain() : nullptr;
  if (slot.keeper) {
    slot.view = PictureView::Of(*planes);
  } else {
    // Rare (NV12 or grey pictures, a failed reference): a packed NV12 copy.
    Bytes& pixels = slot.copy;
    pixels.resize(width * height * 3 / 2);
    uint8_t* chroma = pixels.data() + width * height;
    const Nv12View& nv12 = picture.Nv12();
    const size_t pitch = static_cast<size_t>(nv12.pitch);
    CopyPlane(nv12.luma, pitch, pixels.data(), width, width, height);
    CopyPlane(nv12.chroma, pitch, chroma, width, width, height / 2);
    slot.view = PictureView::Of(Nv12View{pixels.data(), chroma, static_cast<int>(width),
                                         static_cast<int>(width), static_cast<int>(height)});
  }
  MutexLock preview_lock(preview_mutex_);
  preview_.current = target;
  ++preview_.sequence;
  preview_.tick = now;
  ++preview_copies_;
  return true;
}

void ActiveSession::ClearPictureOf(const Connection& connection) {
  MutexLock lock(mutex_);
  // A replaced session must leave the picture of the one that replaced it.
  if (active_.get() == &connection) ClearPictureLocked();
}

bool ActiveSession::Release(const Connection& connection) {
  MutexLock lock(mutex_);
  if (active_.get() != &connection) return false;
  ClearPictureLocked();
  active_.reset();
  state_ = SessionState::kNone;
  return true;
}

void ActiveSession::SetCameraAllowed(bool allowed) {
  std::shared_ptr<Connection> active;
  uint32_t sequence = 0;
  {
    MutexLock lock(mutex_);
    active = active_;
    // The awaited ALLOW is in place before the gate opens, so no picture of
    // the old epoch slips through in between.
    if (active) {
      sequence = ++sequence_;
      if (allowed) active->awaited_allow = sequence;
    }
    camera_allowed_ = allowed;
    if (!allowed) ClearPictureLocked();
    if (monitor_) monitor_->SetCameraAllowed(allowed);
  }
  if (active) {
    (void)SendFrame(*active->channel, allowed ? kAllow : kBlock,
                    JsonObject().Number("seq", sequence).Text());
  }
  LogLine("[gate] camera %s\n", allowed ? "allowed" : "blocked");
}

void ActiveSession::ClearPictureOfPhone(const std::string& fingerprint) {
  MutexLock lock(mutex_);
  if (active_ && active_->fingerprint == fingerprint) ClearPictureLocked();
}

void ActiveSession::Reset() {
  MutexLock lock(mutex_);
  active_.reset();
}

void ActiveSession::ClearPictureLocked() {
  if (frame_writer_) frame_writer_->ClearFrame();
  MutexLock preview_lock(preview_mutex_);
  preview_.current = -1;
  ++preview_.sequence;
  // The decoder's frames go back unless a reader still has them; the worker
  // fills no slot meanwhile (it needs mutex_).
  for (size_t i = 0; i < preview_slots_.size(); ++i) {
    if (preview_.readers[i] == 0) preview_slots_[i].keeper.reset();
  }
}

PhoneStatus ActiveSession::GetPhoneStatus() const {
  MutexLock lock(status_mutex_);
  return phone_;
}

ServerCounters ActiveSession::GetCounters() const {
  return {bytes_received.load(), video_received.load(), video_dropped.load(), frames_decoded.load(),
          frames_delivered_.load()};
}

bool ActiveSession::CopyPreview(Bytes& pixels, uint32_t& width, uint32_t& height,
                                uint64_t& sequence) const {
  const bool fresh = ReadPreview(sequence, [&](const PictureView& picture) {
    width = static_cast<uint32_t>(picture.width);
    height = static_cast<uint32_t>(picture.height);
    const size_t w = width, h = height;
    pixels.resize(w * h * 3 / 2);
    CopyPlane(picture.luma, size_t(picture.luma_pitch), pixels.data(), w, w, h);
    // Packed NV12 with stride = width: an odd width ends each chroma row
    // with a U alone.
    uint8_t* chroma = pixels.data() + w * h;
    const size_t step = size_t(picture.chroma_step);
    for (size_t y = 0; y < h / 2; ++y) {
      const uint8_t* u = picture.u + y * size_t(picture.chroma_pitch);
      const uint8_t* v = picture.v + y * size_t(picture.chroma_pitch);
      uint8_t* row = chroma + y * w;
      for (size_t x = 0; x < w; ++x) row[x] = (x & 1) == 0 ? u[x / 2 * step] : v[x / 2 * step];
    }
  });
  if (!fresh) pixels.clear();
  return fresh;
}

bool ActiveSession::ReadPreview(uint64_t& sequence, const PreviewReader& read) const {
  preview_asked_.store(Now() + 1);
  int lent = -1;
  {
    MutexLock lock(preview_mutex_);
    if (preview_.current < 0 || Now() - preview_.tick > kPreviewFreshMs) {
      sequence = preview_.sequence;
      return false;
    }
    if (sequence == preview_.sequence) return true;
    lent = preview_.current;
    ++preview_.readers[size_t(lent)];
    sequence = preview_.sequence;
  }
  read(preview_slots_[size_t(lent)].view);
  MutexLock lock(preview_mutex_);
  --preview_.readers[size_t(lent)];
  return true;
}

}  // namespace vistrel
