#include "platform/Uuid.hpp"

#include <openssl/rand.h>

#include <random>

namespace ombrelia {

namespace {

constexpr size_t kTextLength = 36;

bool isHyphenPosition(size_t index) {
  return index == 8 || index == 13 || index == 18 || index == 23;
}

int uuidHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != kTextLength) return std::nullopt;
  Bytes bytes{};
  size_t nibble = 0;
  for (size_t i = 0; i < kTextLength; ++i) {
    if (isHyphenPosition(i)) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    int value = uuidHexValue(text[i]);
    if (value < 0) return std::nullopt;
    bytes[nibble / 2] = static_cast<uint8_t>(bytes[nibble / 2] | (value << (nibble % 2 ? 0 : 4)));
    ++nibble;
  }
  return Uuid(bytes);
}

Uuid Uuid::random() {
  Bytes bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    // The secure generator only fails when the system has no entropy source at all; an
    // identifier is still needed, and it only has to be unique, not secret.
    thread_local std::mt19937_64 fallback{std::random_device{}()};
    for (auto& byte : bytes) byte = static_cast<uint8_t>(fallback());
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return Uuid(bytes);
}

std::string Uuid::text(const char* digits) const {
  std::string out;
  out.reserve(kTextLength);
  for (size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(digits[bytes_[i] >> 4]);
    out.push_back(digits[bytes_[i] & 0x0F]);
  }
  return out;
}

std::string Uuid::uuidString() const { return text("0123456789ABCDEF"); }

std::string Uuid::lowercaseString() const { return text("0123456789abcdef"); }

}  // namespace ombrelia
