// One PipeWire output node of the camera, with a buffer pool of its own.
// PipeWire shares an output port's buffers among all its links, so an app
// that keeps its buffers would starve every other app on the same port; the
// sink gives each app a node like this. Everything here runs with the
// sink's loop lock held.
#pragma once

#include <pipewire/pipewire.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "camhost/sink.h"
#include "camhost/video_format.h"

namespace vistrel {

class PipeWireOutput {
 public:
  // Told of every state change, on the loop thread.
  class Owner {
   public:
    virtual void OutputStateChanged(PipeWireOutput& output, pw_stream_state state,
                                    const char* error) = 0;

   protected:
    ~Owner() = default;
  };

  // A driving NV12/I420/YUY2 1280x720 30 fps output node named by
  // `properties`, which it takes. An inactive node is never started: links
  // to it are made but carry nothing. Nothing, with the reason in `error`.
  static std::unique_ptr<PipeWireOutput> Connect(pw_core* core, pw_properties* properties,
                                                 bool active, Owner& owner, std::string& error);
  ~PipeWireOutput();
  PipeWireOutput(const PipeWireOutput&) = delete;
  PipeWireOutput& operator=(const PipeWireOutput&) = delete;

  bool streaming() const { return state_ == PW_STREAM_STATE_STREAMING; }
  // SPA_ID_INVALID until the daemon has the node.
  uint32_t node_id() const { return pw_stream_get_node_id(stream_); }
  // The agreed format; nothing before an app agreed on one.
  std::optional<VideoFormat> format() const;

  void SetActive(bool active) { pw_stream_set_active(stream_, active); }
  // A free NV12 buffer for the next picture; it stays lent until Send.
  std::optional<Sink::Place> Lendable();
  // Sends the picture (found in place when it is in the lent buffer); an
  // app that still has every buffer misses it.
  void Send(const Nv12View& picture, int64_t time_100ns);

 private:
  class Memory;
  PipeWireOutput(pw_stream* stream, Owner& owner) : stream_(stream), owner_(owner) {}
  void OnFormat(const spa_pod* param);

  static void StateChanged(void* self, pw_stream_state, pw_stream_state state, const char* error);
  static void ParamChanged(void* self, uint32_t id, const spa_pod* param);
  static void AddBuffer(void* self, pw_buffer* buffer);
  static void RemoveBuffer(void* self, pw_buffer* buffer);

  pw_stream* stream_;
  Owner& owner_;
  spa_hook listener_{};
  pw_stream_events events_{};
  pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;
  std::optional<VideoLayout> layout_;
  std::map<pw_buffer*, std::shared_ptr<Memory>> memory_;
  // Dequeued for the next picture; the library may be writing into it.
  pw_buffer* borrowed_ = nullptr;
  uint64_t sequence_ = 0;
};

}  // namespace vistrel
