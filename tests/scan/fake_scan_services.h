// A desktop and an environment that a test controls: what was typed or
// copied, whether each works, the clock and the free space.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "scan/scan_context.h"

namespace vistrel::test {

class FakeDesktop final : public Desktop {
 public:
  bool CopyTextToClipboard(std::u16string_view text) override {
    copied.emplace_back(text);
    return clipboard_works;
  }
  TypingResult TypeIntoFocusedApp(std::u16string_view text) override {
    typed.emplace_back(text);
    return typing;
  }
  bool clipboard_works = true;
  TypingResult typing = TypingResult::kTyped;
  std::vector<std::u16string> copied;
  std::vector<std::u16string> typed;
};

class FakeScanEnvironment final : public ScanEnvironment {
 public:
  int64_t NowSeconds() const override { return now; }
  std::optional<uint64_t> AvailableBytes(const std::filesystem::path&) const override {
    return available;
  }
  int64_t now = 1'700'000'000;
  std::optional<uint64_t> available;  // nothing: unknown, the check is skipped
};

}  // namespace vistrel::test
