// The pairing exchange fed with hostile bytes in place of the PAIR frame,
// with an open invitation.
#include <cstddef>
#include <cstdint>

#include "tests/link/fake_channel.h"
#include "tests/link/session_harness.h"
#include "tests/support/temp_folder.h"

using namespace vistrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static test::TempFolder folder;
  static TrustStore trust(folder / "trusted_phones.tsv");
  ManualClock clock;
  PairingState pairing(clock);
  Digest fingerprint{};
  if (!pairing.Open("rid", "Fuzz", fingerprint, {"192.0.2.1:47800"}, 120000)) return 0;
  test::EnrollHarness enrolment("rid", "Fuzz", trust, pairing, clock);

  test::FakeConnection phone(clock, std::string(64, 'b'));
  // Without a PAIR header byte the input is a raw stream; with it, a PAIR payload.
  if (size > 0 && data[0] == 'P') {
    phone.channel->Queue(kPair, std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  } else {
    phone.channel->QueueRaw(std::string_view(reinterpret_cast<const char*>(data), size));
  }
  enrolment.Enroll(*phone.connection);
  return 0;
}
