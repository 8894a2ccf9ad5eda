// One camera record served as the platform's frame server serves a virtual
// camera: the library's class factory, the activator with the record's
// attributes, the media source started with our sample allocator, and one
// sample pulled per request.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "camhost/camera_library.h"
#include "camhost/request_timing.h"
#include "camhost/sink.h"
#include "platform/mf/mf.h"
#include "platform/virtual_camera.h"

namespace vistrel {

class CameraSource {
 public:
  // Nothing, with the reason logged, when any step up to the started stream
  // fails; whatever was made is shut down again.
  // `sink` may lend the library the place of the next picture; it must
  // outlive the source.
  static std::unique_ptr<CameraSource> Open(const CameraRecord& record, Sink& sink,
                                            const std::atomic<bool>& stop);
  // Stops the source, shuts it down through the activator, then lets the
  // library go.
  ~CameraSource();
  CameraSource(const CameraSource&) = delete;
  CameraSource& operator=(const CameraSource&) = delete;

  enum class Pull { kDelivered, kNothing, kSinkFailed, kSourceFailed };
  // Requests one sample (the stream paces requests to its frame rate) and
  // hands its picture to `deliver`, which returns false when the sink failed.
  // `time_100ns` gets the sample's time; `picture` the exchange picture it
  // showed, when the camera says so.
  Pull PullSample(const std::function<bool(const Nv12View&)>& deliver, int64_t& time_100ns,
                  std::optional<PictureStamp>& picture);

 private:
  CameraSource(std::unique_ptr<CameraLibrary> library, Sink& sink, const std::atomic<bool>& stop);
  bool Activate(const CameraRecord& record);
  // Handles every event that is waiting on the source and on the stream.
  void DrainEvents();
  void HandleEvent(IMFMediaEvent* event, bool from_stream);
  bool DeliverSample(IMFSample* sample, const std::function<bool(const Nv12View&)>& deliver);

  // Declared first so that it goes last: the objects below live in its code.
  std::unique_ptr<CameraLibrary> library_;
  Sink& sink_;
  const std::atomic<bool>& stop_;
  ComPtr<IMFActivate> activate_;
  ComPtr<IMFMediaSource> source_;
  ComPtr<IMFVideoSampleAllocator> allocator_;
  ComPtr<IMFMediaStream> stream_;
  ComPtr<IMFSample> pending_sample_;
  bool source_started_ = false;
  bool stream_started_ = false;
  uint32_t request_failures_ = 0;
};

}  // namespace vistrel
