#pragma once
// Any thread: a value type.

#include <cstdint>
#include <optional>
#include <string>

#include <ombrelia/Url.hpp>

namespace ombrelia {

// An http(s) URL as the WHATWG URL Standard holds it after parsing: every component already in
// the form a browser writes and sends.
struct UrlRecord {
  std::string scheme;  // "http" or "https"
  std::string username;
  std::string password;
  std::string host;              // a name, dotted IPv4, or IPv6 in brackets
  std::optional<uint16_t> port;  // absent for the scheme's default
  std::string path;              // "/" and a segment, for each segment; never empty once parsed
  std::optional<std::string> query;
  std::optional<std::string> fragment;

  Url toUrl() &&;
};

}  // namespace ombrelia
