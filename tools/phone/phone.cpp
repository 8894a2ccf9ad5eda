#include "tools/phone/phone.h"

#include <charconv>

#include "link/json.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "security/pairing_state.h"

namespace vistrel::phone {
namespace {

constexpr uint64_t kHandshakeMs = 5000;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = HexValue(text[i + 1]);
    int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

}  // namespace

std::optional<PairingUrl> ParsePairingUrl(const std::string& url) {
  static constexpr std::string_view kPrefix = "vstl://pair?";
  if (url.rfind(kPrefix, 0) != 0) return std::nullopt;
  PairingUrl result;
  bool version = false;
  std::string_view query(url);
  query.remove_prefix(kPrefix.size());
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view field = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    size_t eq = field.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string_view key = field.substr(0, eq);
    auto value = PercentDecode(field.substr(eq + 1));
    if (!value) return std::nullopt;
    if (key == "v") {
      version = *value == "1";
    } else if (key == "id") {
      result.receiver_id = *value;
    } else if (key == "n") {
      result.receiver_name = *value;
    } else if (key == "fp") {
      result.fingerprint_hex = *value;
    } else if (key == "s") {
      result.secret = *value;
    } else if (key == "e") {
      auto [end, ec] = std::from_chars(value->data(), value->data() + value->size(), result.expiry);
      if (ec != std::errc() || end != value->data() + value->size()) return std::nullopt;
    } else if (key == "a") {
      for (size_t start = 0; start < value->size();) {
        size_t comma = value->find(',', start);
        if (comma == std::string::npos) comma = value->size();
        result.addresses.push_back(value->substr(start, comma - start));
        start = comma + 1;
      }
    }
  }
  if (!version || result.fingerprint_hex.size() != 64 || result.secret.empty()) {
    return std::nullopt;
  }
  return result;
}

PhoneLink::PhoneLink(UniqueFd socket, const TlsCredentials& credentials)
    : socket_(std::move(socket)), channel_(socket_.Get(), credentials) {}

Frame PhoneLink::Read(uint64_t timeout_ms) {
  return ReadFrame(channel_, TickMs() + timeout_ms, FrameContext::kSession);
}

void PhoneLink::Drop() { ShutdownBoth(socket_.Get()); }

std::unique_ptr<Phone> Phone::Create(const std::filesystem::path& state_folder) {
  std::unique_ptr<Phone> phone(new Phone());
  std::error_code ec;
  std::filesystem::create_directories(state_folder, ec);
  if (!phone->identity_.LoadOrCreate(state_folder, "phone", state_folder / "keys")) return nullptr;
  if (!phone->credentials_.Acquire(phone->identity_.certificate_der(),
                                   phone->identity_.private_key_der(), true) ||
      !phone->server_credentials_.Acquire(phone->identity_.certificate_der(),
                                          phone->identity_.private_key_der(), false)) {
    return nullptr;
  }
  return phone;
}

std::unique_ptr<PhoneLink> Phone::Connect(const std::string& host, uint16_t port) {
  UniqueFd socket = ConnectTcp(host, port, 5000);
  if (!socket) return nullptr;
  SetNoDelay(socket.Get());
  auto link = std::make_unique<PhoneLink>(std::move(socket), credentials_);
  if (!link->Establish(TickMs() + kHandshakeMs)) return nullptr;
  return link;
}

std::unique_ptr<PhoneLink> Phone::Answer(UniqueFd socket) {
  auto link = std::make_unique<PhoneLink>(std::move(socket), server_credentials_);
  if (!link->Establish(TickMs() + kHandshakeMs)) return nullptr;
  return link;
}

std::optional<std::string> ExpectedCode(const PairingUrl& url, const Digest& phone_fingerprint) {
  auto receiver = HexDecode(url.fingerprint_hex);
  auto secret = Base64UrlDecode(url.secret);
  if (!receiver || receiver->size() != 32 || !secret) return std::nullopt;
  Digest receiver_digest{};
  std::copy(receiver->begin(), receiver->end(), receiver_digest.begin());
  return PairingCode(receiver_digest, phone_fingerprint, *secret);
}

PairOutcome Pair(PhoneLink& link, const PairingUrl& url, const Digest& phone_fingerprint,
                 const PairRequest& request) {
  PairOutcome outcome;
  outcome.expected_code = ExpectedCode(url, phone_fingerprint).value_or("");
  const std::string secret = request.secret_override.empty() ? url.secret : request.secret_override;
  const std::string payload =
      !request.raw_pair_json.empty()
          ? request.raw_pair_json
          : "{\"secret\":" + JsonQuote(secret) + ",\"device_id\":" + JsonQuote(request.device_id) +
                ",\"device_name\":" + JsonQuote(request.device_name) + ",\"proto\":1}";
  if (!link.Send(kPair, payload)) {
    outcome.error = "send failed";
    return outcome;
  }
  for (;;) {
    Frame frame = link.Read(request.result_timeout_ms);
    if (frame.result != ReadResult::kOk) {
      outcome.error = "connection ended";
      return outcome;
    }
    JsonParseResult parsed = JsonParse(AsText(frame.payload));
    if (frame.type == kPairCode && parsed.ok) {
      outcome.received_code = JsonGetString(parsed.value, "code").value_or("");
    } else if (frame.type == kPairResult && parsed.ok) {
      outcome.result_json = std::string(AsText(frame.payload));
      const JsonValue* ok = JsonFind(parsed.value, "ok");
      outcome.paired = ok && ok->kind == JsonValue::kBoolean && ok->boolean;
      outcome.error = JsonGetString(parsed.value, "error").value_or("");
      return outcome;
    }
  }
}

std::string HelloJson(const std::string& device_name, uint32_t fps) {
  return "{\"proto\":1,\"device_name\":" + JsonQuote(device_name) +
         ",\"video\":{\"codec\":\"h264\",\"width\":1280,\"height\":720,\"fps\":" +
         std::to_string(fps) + "}}";
}

}  // namespace vistrel::phone
