// Parsing speed of a HELLO-sized payload: the largest JSON the link reads often.
#include <benchmark/benchmark.h>

#include <string>

#include "link/json.h"

namespace {

std::string MakeHelloPayload() {
  std::string text =
      "{\"type\":\"hello\",\"proto\":1,\"device_id\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\","
      "\"device_name\":\"Ann\\u2019s iPhone \\\"work\\\"\",\"mode\":\"webcam\",\"app_version\":"
      "\"2.4.1 (build 318)\",\"video\":{\"codec\":\"h264\",\"width\":1280,\"height\":720,"
      "\"fps\":30,\"bitrate\":4500000,\"profile\":\"high\",\"level\":4.1,\"keyframe_interval\":"
      "2.5,\"orientation\":\"landscape\\/left\",\"mirrored\":false,\"hdr\":null},\"features\":[";
  for (int i = 0; i < 40; ++i) {
    if (i > 0) text += ',';
    text += "\"feature_" + std::to_string(i) + "\\tflag\"";
  }
  text += "],\"stats\":[";
  for (int i = 0; i < 60; ++i) {
    if (i > 0) text += ',';
    text += std::to_string(i * 1234.5678e-3) + ",-" + std::to_string(i) + "e2";
  }
  text += "],\"notes\":{";
  for (int i = 0; text.size() < 4000; ++i) {
    if (i > 0) text += ',';
    text += "\"note" + std::to_string(i) +
            "\":\"Caf\\u00e9 \\ud83d\\ude00 line\\nbreak and plain text of some length\"";
  }
  text += "}}";
  return text;
}

void BM_JsonParseHello(benchmark::State& state) {
  const std::string payload = MakeHelloPayload();
  if (!vistrel::JsonParse(payload).ok) {
    state.SkipWithError("payload does not parse");
    return;
  }
  for (auto _ : state) {
    vistrel::JsonParseResult result = vistrel::JsonParse(payload);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(payload.size()));
  state.counters["payload_bytes"] = static_cast<double>(payload.size());
}
BENCHMARK(BM_JsonParseHello);

}  // namespace

BENCHMARK_MAIN();
