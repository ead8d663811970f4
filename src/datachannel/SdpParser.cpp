#include "datachannel/SdpParser.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

namespace ombrelia::datachannel {
namespace {

// A data-channel description from a browser is 1-4 KiB; even with dozens of candidates it stays
// far below this. Anything larger is refused before any work is done on it.
constexpr size_t kMaxSdpBytes = 64 * 1024;
// Lines beyond this are not SDP any stack writes; they are skipped.
constexpr size_t kMaxLineBytes = 4096;
// A host with many interfaces, both families and relays rarely exceeds 30 candidates.
constexpr size_t kMaxCandidates = 64;
// Stacks offer one to three digests.
constexpr size_t kMaxFingerprints = 8;
// ICE allows 256 characters for both credentials.
constexpr size_t kMaxCredentialBytes = 256;
// Identifiers the stacks write are a few characters; the bound keeps logs and SDP small.
constexpr size_t kMaxMidBytes = 32;
constexpr size_t kMaxFoundationBytes = 32;
constexpr size_t kMaxAddressBytes = 255;

std::vector<std::string_view> splitSpaces(std::string_view text, size_t limit) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < text.size() && parts.size() < limit) {
    while (i < text.size() && text[i] == ' ') ++i;
    if (i >= text.size()) break;
    size_t end = text.find(' ', i);
    if (end == std::string_view::npos) end = text.size();
    parts.push_back(text.substr(i, end - i));
    i = end;
  }
  return parts;
}

template <typename T>
std::optional<T> parseNumber(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool isIceChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
}

bool isTokenChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7F;
}

bool validCredential(std::string_view text) {
  return !text.empty() && text.size() <= kMaxCredentialBytes &&
         std::all_of(text.begin(), text.end(), [](char c) { return isTokenChar(c) && c != ':'; });
}

bool validAddress(std::string_view text) {
  return !text.empty() && text.size() <= kMaxAddressBytes &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == ':' || c == '-' ||
                  c == '%' || c == '_';
         });
}

std::optional<uint16_t> parsePort(std::string_view text) {
  const auto value = parseNumber<uint32_t>(text);
  if (!value || *value > 65535) return std::nullopt;
  return static_cast<uint16_t>(*value);
}

std::optional<SdpFingerprint> parseFingerprint(std::string_view value) {
  const auto parts = splitSpaces(value, 3);
  if (parts.size() != 2) return std::nullopt;
  const std::string_view hex = parts[1];
  // Pairs of hex digits separated by colons: "AB:CD:...", at most a SHA-512 digest.
  if (hex.size() < 2 || hex.size() > 64 * 3 - 1 || (hex.size() + 1) % 3 != 0) return std::nullopt;
  std::string upper;
  upper.reserve(hex.size());
  for (size_t i = 0; i < hex.size(); ++i) {
    const char c = hex[i];
    if (i % 3 == 2) {
      if (c != ':') return std::nullopt;
    } else if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return std::nullopt;
    }
    upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  if (parts[0].size() > 16) return std::nullopt;
  return SdpFingerprint{lower(parts[0]), std::move(upper)};
}

struct Section {
  bool isApplication = false;
  bool sctpProto = false;
  bool rejected = false;
  std::optional<uint16_t> legacySctpPort;
};

}  // namespace

std::optional<SdpCandidate> SdpParser::parseCandidate(std::string_view line) {
  if (line.size() > kMaxLineBytes) return std::nullopt;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  if (line.substr(0, 2) == "a=") line.remove_prefix(2);
  if (line.substr(0, 10) != "candidate:") return std::nullopt;
  line.remove_prefix(10);
  const auto parts = splitSpaces(line, 32);
  if (parts.size() < 8 || parts[6] != "typ") return std::nullopt;
  SdpCandidate c;
  if (parts[0].empty() || parts[0].size() > kMaxFoundationBytes ||
      !std::all_of(parts[0].begin(), parts[0].end(), isIceChar)) {
    return std::nullopt;
  }
  c.foundation = std::string(parts[0]);
  const auto component = parseNumber<uint32_t>(parts[1]);
  if (!component || *component < 1 || *component > 256) return std::nullopt;
  c.component = static_cast<int>(*component);
  c.transport = lower(parts[2]);
  if (c.transport != "udp" && c.transport != "tcp") return std::nullopt;
  const auto priority = parseNumber<uint32_t>(parts[3]);
  if (!priority) return std::nullopt;
  c.priority = *priority;
  if (!validAddress(parts[4])) return std::nullopt;
  c.address = std::string(parts[4]);
  const auto port = parsePort(parts[5]);
  if (!port) return std::nullopt;
  c.port = *port;
  c.type = lower(parts[7]);
  if (c.type != "host" && c.type != "srflx" && c.type != "prflx" && c.type != "relay") {
    return std::nullopt;
  }
  // Extensions come as name/value pairs; only the related address matters here.
  for (size_t i = 8; i + 1 < parts.size(); i += 2) {
    if (parts[i] == "raddr" && validAddress(parts[i + 1])) {
      c.relatedAddress = std::string(parts[i + 1]);
    } else if (parts[i] == "rport") {
      c.relatedPort = parsePort(parts[i + 1]);
    }
  }
  return c;
}

SdpParseResult SdpParser::parse(std::string_view sdp) {
  if (sdp.size() > kMaxSdpBytes) return {std::nullopt, SdpError::tooLarge};
  SdpDescription session;  // session-level values, the defaults of every section
  SdpDescription chosen;
  bool haveChosen = false;
  bool inChosen = false;
  bool sessionLevel = true;
  Section section;
  bool invalid = false;

  size_t pos = 0;
  while (pos < sdp.size()) {
    size_t end = sdp.find('\n', pos);
    if (end == std::string_view::npos) end = sdp.size();
    std::string_view line = sdp.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() < 2 || line[1] != '=' || line.size() > kMaxLineBytes) continue;
    const char kind = line[0];
    const std::string_view value = line.substr(2);

    if (kind == 'o' && sessionLevel) {
      const auto parts = splitSpaces(value, 6);
      if (parts.size() >= 2 && parts[1].size() <= 32) session.sessionId = std::string(parts[1]);
      continue;
    }
    if (kind == 'm') {
      sessionLevel = false;
      if (inChosen) {
        inChosen = false;  // only the first usable application section counts
      }
      const auto parts = splitSpaces(value, 8);
      section = Section{};
      section.isApplication = !parts.empty() && parts[0] == "application";
      section.sctpProto = parts.size() >= 3 && parts[2].find("DTLS/SCTP") != std::string_view::npos;
      section.rejected = parts.size() >= 2 && parts[1] == "0";
      if (section.sctpProto && parts.size() >= 4 && parts[2] == "DTLS/SCTP") {
        // The pre-standard form puts the SCTP port where the format list goes.
        section.legacySctpPort = parsePort(parts[3]);
      }
      if (!haveChosen && section.isApplication && section.sctpProto && !section.rejected) {
        haveChosen = true;
        inChosen = true;
        chosen = session;
        chosen.candidates.clear();
        chosen.mid.assign(1, '0');
        if (section.legacySctpPort && *section.legacySctpPort != 0) {
          chosen.sctpPort = *section.legacySctpPort;
        }
      }
      continue;
    }
    if (kind != 'a') continue;
    if (!sessionLevel && !inChosen) continue;
    SdpDescription& target = sessionLevel ? session : chosen;

    const size_t colon = value.find(':');
    const std::string_view name = value.substr(0, colon);
    const std::string_view arg =
        colon == std::string_view::npos ? std::string_view() : value.substr(colon + 1);

    if (name == "ice-ufrag") {
      if (!validCredential(arg)) invalid = true;
      target.iceUfrag = std::string(arg);
    } else if (name == "ice-pwd") {
      if (!validCredential(arg)) invalid = true;
      target.icePwd = std::string(arg);
    } else if (name == "ice-lite") {
      target.iceLite = true;
    } else if (name == "fingerprint") {
      const auto fp = parseFingerprint(arg);
      if (!fp) return {std::nullopt, SdpError::invalidAttribute};
      if (target.fingerprints.size() < kMaxFingerprints) target.fingerprints.push_back(*fp);
    } else if (name == "setup") {
      if (arg == "active") {
        target.setup = SdpSetup::active;
      } else if (arg == "passive") {
        target.setup = SdpSetup::passive;
      } else if (arg == "actpass") {
        target.setup = SdpSetup::actpass;
      } else {
        return {std::nullopt, SdpError::invalidAttribute};
      }
    } else if (name == "mid") {
      if (arg.empty() || arg.size() > kMaxMidBytes ||
          !std::all_of(arg.begin(), arg.end(), isTokenChar)) {
        return {std::nullopt, SdpError::invalidAttribute};
      }
      target.mid = std::string(arg);
    } else if (name == "sctp-port") {
      const auto port = parsePort(arg);
      if (!port || *port == 0) return {std::nullopt, SdpError::invalidAttribute};
      target.sctpPort = *port;
    } else if (name == "sctpmap") {
      const auto parts = splitSpaces(arg, 3);
      if (!parts.empty()) {
        if (const auto port = parsePort(parts[0]); port && *port != 0) target.sctpPort = *port;
      }
    } else if (name == "max-message-size") {
      const auto size = parseNumber<uint64_t>(arg);
      if (!size) return {std::nullopt, SdpError::invalidAttribute};
      target.maxMessageSize = static_cast<size_t>(std::min<uint64_t>(*size, SIZE_MAX));
    } else if (name == "candidate") {
      // Candidates the agent cannot use are skipped, never fatal: stacks add kinds over time.
      if (target.candidates.size() < kMaxCandidates) {
        if (auto candidate = parseCandidate(value))
          target.candidates.push_back(std::move(*candidate));
      }
    } else if (name == "end-of-candidates") {
      target.endOfCandidates = true;
    }
  }

  if (!haveChosen) return {std::nullopt, SdpError::noApplicationSection};
  if (invalid) return {std::nullopt, SdpError::invalidIceCredentials};
  if (chosen.iceUfrag.empty() || chosen.icePwd.empty()) {
    return {std::nullopt, SdpError::missingIceCredentials};
  }
  if (chosen.fingerprints.empty()) return {std::nullopt, SdpError::missingFingerprint};
  if (chosen.sessionId.empty()) chosen.sessionId = session.sessionId;
  return {std::move(chosen), SdpError::none};
}

std::string_view SdpParser::errorText(SdpError error) {
  switch (error) {
    case SdpError::none:
      return "no error";
    case SdpError::tooLarge:
      return "description too large";
    case SdpError::noApplicationSection:
      return "no data-channel media section";
    case SdpError::missingIceCredentials:
      return "missing ICE credentials";
    case SdpError::invalidIceCredentials:
      return "invalid ICE credentials";
    case SdpError::missingFingerprint:
      return "missing DTLS fingerprint";
    case SdpError::invalidAttribute:
      return "invalid attribute";
  }
  return "unknown error";
}

}  // namespace ombrelia::datachannel
