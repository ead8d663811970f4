#include "platform/url/UrlParser.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "platform/url/PrintableRun.hpp"
#include "platform/url/UriCharacters.hpp"
#include "platform/url/UrlHost.hpp"

namespace ombrelia {
namespace {

using Set = UriCharacters::EncodeSet;

constexpr int kEnd = -1;  // what the standard calls the EOF code point: past the last byte

// The printable bytes that end a run of the query, and of a path segment: "#", and those each
// escapes (UriCharacters::EncodeSet); a path segment ends at "/", "\\" and "?" too.
constexpr char kQueryStops[] = "\"#'<>";
constexpr char kPathStops[] = "\"#<>?`{}/\\";

// The largest port; a longer run of digits stops growing past it, as it is refused anyway.
constexpr uint32_t kMaxPort = 65535;

void appendEncoded(std::string& out, int c, Set set) {
  const auto byte = static_cast<unsigned char>(c);
  if (!UriCharacters::encodes(set, byte)) {
    out.push_back(static_cast<char>(byte));
    return;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.push_back('%');
  out.push_back(kHex[byte >> 4]);
  out.push_back(kHex[byte & 0xF]);
}

bool equalsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = (text[i] >= 'A' && text[i] <= 'Z') ? static_cast<char>(text[i] | 0x20) : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

bool isSingleDot(std::string_view segment) {
  return segment == "." || equalsIgnoringCase(segment, "%2e");
}

bool isDoubleDot(std::string_view segment) {
  return segment == ".." || equalsIgnoringCase(segment, ".%2e") ||
         equalsIgnoringCase(segment, "%2e.") || equalsIgnoringCase(segment, "%2e%2e");
}

// The path's last segment removed (http paths know no drive letters to keep).
void shorten(std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) path.erase(slash);
}

uint16_t schemeDefaultPort(std::string_view scheme) { return scheme == "http" ? 80 : 443; }

// One run of the standard's state machine over the input, which it walks by index; states step
// back ("pointer--") to hand the current character to the next state. What the base gives is
// left in it (Inherited), never copied: the caller joins the two when it needs the whole URL.
class Machine {
 public:
  Machine(std::string_view input, const UrlRecord* base, const std::vector<uint32_t>* slashes)
      : input_(input), base_(base), slashes_(slashes) {
    // The path is most of a reference; one allocation holds it unless escapes grow it.
    url_.path.reserve(input.size());
  }

  Expected<UrlParser::Reading, UrlParser::Refusal> run();

 private:
  enum class State {
    schemeStart,
    scheme,
    noScheme,
    specialRelativeOrAuthority,
    specialAuthoritySlashes,
    specialAuthorityIgnoreSlashes,
    authority,
    host,
    port,
    relative,
    relativeSlash,
    pathStart,
    path,
    query,
    fragment,
  };
  using Refusal = UrlParser::Refusal;

  int at(std::ptrdiff_t i) const {
    return i >= 0 && static_cast<size_t>(i) < input_.size()
               ? static_cast<unsigned char>(input_[static_cast<size_t>(i)])
               : kEnd;
  }
  static bool isPlainInPath(int c) {
    return c != kEnd && c != '/' && c != '\\' && c != '?' && c != '#' &&
           !UriCharacters::encodes(Set::path, static_cast<unsigned char>(c));
  }
  // Takes the characters after the current one for as long as `plain` holds, at once: what a
  // state would do to each of them is only to append it. The state then sees the next one.
  template <typename Plain>
  void takeRun(std::string& out, Plain plain) {
    const auto start = static_cast<size_t>(pointer_ + 1);
    size_t end = start;
    while (end < input_.size() && plain(static_cast<unsigned char>(input_[end]))) ++end;
    out.append(input_.substr(start, end - start));
    pointer_ = static_cast<std::ptrdiff_t>(end) - 1;
  }
  // The same, for a run that holds no byte outside printable ASCII nor any of `stops`: found
  // sixteen bytes at a time (PrintableRun), `plain` judging the rest.
  template <typename Plain, size_t N>
  void takeRun(std::string& out, Plain plain, const char (&stops)[N]) {
    const auto start = static_cast<size_t>(pointer_ + 1);
    size_t end = PrintableRun::skip(input_, start, stops);
    while (end < input_.size() && plain(static_cast<unsigned char>(input_[end]))) ++end;
    out.append(input_.substr(start, end - start));
    pointer_ = static_cast<std::ptrdiff_t>(end) - 1;
  }
  static bool endsAuthority(int c) {
    return c == kEnd || c == '/' || c == '?' || c == '#' || c == '\\';
  }
  // The path's last segment removed, where the path is the base's first inherited_.path bytes
  // followed by url_.path: the own part while it has a segment, else the base's part.
  void shortenPath() {
    if (!url_.path.empty() || inherited_.path == 0) {
      shorten(url_.path);
      return;
    }
    if (slashes_ == nullptr) {
      const size_t slash = std::string_view(base_->path).substr(0, inherited_.path).rfind('/');
      if (slash != std::string_view::npos) inherited_.path = slash;
      return;
    }
    const auto after = std::lower_bound(slashes_->begin(), slashes_->end(), inherited_.path);
    if (after != slashes_->begin()) inherited_.path = *(after - 1);
  }
  // "?" and "#" start the query and the fragment wherever the path may end.
  bool openQueryOrFragment(int c) {
    if (c == '?') {
      url_.query = "";
      inherited_.query = false;
      state_ = State::query;
    } else if (c == '#') {
      url_.fragment = "";
      state_ = State::fragment;
    } else {
      return false;
    }
    return true;
  }

  std::optional<Refusal> step(int c);
  std::optional<Refusal> authority(int c);
  std::optional<Refusal> host(int c);
  std::optional<Refusal> port(int c);
  void path(int c);

  std::string_view input_;
  const UrlRecord* base_;
  const std::vector<uint32_t>* slashes_;  // of base_->path, when known
  UrlParser::Inherited inherited_;
  std::ptrdiff_t pointer_ = 0;
  State state_ = State::schemeStart;
  std::string buffer_;
  bool atSignSeen_ = false;
  bool insideBrackets_ = false;
  bool passwordTokenSeen_ = false;
  size_t segmentStart_ = std::string::npos;  // where the open path segment starts in url_.path
  UrlRecord url_;
};

Expected<UrlParser::Reading, UrlParser::Refusal> Machine::run() {
  for (;;) {
    const int c = at(pointer_);
    if (auto refusal = step(c)) return *refusal;
    if (pointer_ >= static_cast<std::ptrdiff_t>(input_.size())) break;
    ++pointer_;
  }
  return UrlParser::Reading{std::move(url_), inherited_};
}

std::optional<UrlParser::Refusal> Machine::step(int c) {
  switch (state_) {
    case State::schemeStart:
      if (c != kEnd && UriCharacters::isAlpha(static_cast<char>(c))) {
        buffer_.push_back(static_cast<char>(c | 0x20));
        state_ = State::scheme;
      } else {
        state_ = State::noScheme;
        --pointer_;
      }
      return std::nullopt;

    case State::scheme:
      if (c != kEnd &&
          (UriCharacters::isAlpha(static_cast<char>(c)) ||
           UriCharacters::isDigit(static_cast<char>(c)) || c == '+' || c == '-' || c == '.')) {
        buffer_.push_back(
            static_cast<char>(UriCharacters::isAlpha(static_cast<char>(c)) ? c | 0x20 : c));
      } else if (c == ':') {
        if (buffer_ != "http" && buffer_ != "https") return Refusal::notHttp;
        url_.scheme = std::move(buffer_);
        buffer_.clear();
        state_ = base_ && base_->scheme == url_.scheme ? State::specialRelativeOrAuthority
                                                       : State::specialAuthoritySlashes;
      } else {
        // No scheme after all ("seg_12:00.ts"): start over as a relative reference.
        buffer_.clear();
        state_ = State::noScheme;
        pointer_ = -1;
      }
      return std::nullopt;

    case State::noScheme:
      if (!base_) return Refusal::invalid;
      state_ = State::relative;
      --pointer_;
      return std::nullopt;

    case State::specialRelativeOrAuthority:
      if (c == '/' && at(pointer_ + 1) == '/') {
        state_ = State::specialAuthorityIgnoreSlashes;
        ++pointer_;
      } else {
        state_ = State::relative;
        --pointer_;
      }
      return std::nullopt;

    case State::specialAuthoritySlashes:
      state_ = State::specialAuthorityIgnoreSlashes;
      if (c == '/' && at(pointer_ + 1) == '/') {
        ++pointer_;
      } else {
        --pointer_;
      }
      return std::nullopt;

    case State::specialAuthorityIgnoreSlashes:
      if (c != '/' && c != '\\') {
        state_ = State::authority;
        --pointer_;
      }
      return std::nullopt;

    case State::authority:
      return authority(c);
    case State::host:
      return host(c);
    case State::port:
      return port(c);

    case State::relative:
      url_.scheme = base_->scheme;
      if (c == '/' || c == '\\') {
        state_ = State::relativeSlash;
      } else {
        inherited_.authority = true;
        inherited_.path = base_->path.size();
        inherited_.query = base_->query.has_value();
        if (!openQueryOrFragment(c) && c != kEnd) {
          inherited_.query = false;
          shortenPath();
          state_ = State::path;
          --pointer_;
        }
      }
      return std::nullopt;

    case State::relativeSlash:
      if (c == '/' || c == '\\') {
        state_ = State::specialAuthorityIgnoreSlashes;
      } else {
        inherited_.authority = true;
        state_ = State::path;
        --pointer_;
      }
      return std::nullopt;

    case State::pathStart:
      state_ = State::path;
      if (c != '/' && c != '\\') --pointer_;
      return std::nullopt;

    case State::path:
      path(c);
      return std::nullopt;

    case State::query:
      // Escaped one byte at a time: for UTF-8 that is the same as escaping the whole buffer.
      if (c == '#') {
        url_.fragment = "";
        state_ = State::fragment;
      } else if (c != kEnd) {
        appendEncoded(*url_.query, c, Set::specialQuery);
        takeRun(
            *url_.query,
            [](unsigned char next) {
              return next != '#' && !UriCharacters::encodes(Set::specialQuery, next);
            },
            kQueryStops);
      }
      return std::nullopt;

    case State::fragment:
      if (c != kEnd) appendEncoded(*url_.fragment, c, Set::fragment);
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<UrlParser::Refusal> Machine::authority(int c) {
  if (c == '@') {
    // Every "@" but the last belongs to the userinfo, escaped.
    if (atSignSeen_) buffer_.insert(0, "%40");
    atSignSeen_ = true;
    for (char b : buffer_) {
      if (b == ':' && !passwordTokenSeen_) {
        passwordTokenSeen_ = true;
        continue;
      }
      appendEncoded(passwordTokenSeen_ ? url_.password : url_.username,
                    static_cast<unsigned char>(b), Set::userinfo);
    }
    buffer_.clear();
  } else if (endsAuthority(c)) {
    if (atSignSeen_ && buffer_.empty()) return Refusal::invalid;
    pointer_ -= static_cast<std::ptrdiff_t>(buffer_.size()) + 1;
    buffer_.clear();
    state_ = State::host;
  } else {
    buffer_.push_back(static_cast<char>(c));
    takeRun(buffer_, [](unsigned char next) { return next != '@' && !endsAuthority(next); });
  }
  return std::nullopt;
}

std::optional<UrlParser::Refusal> Machine::host(int c) {
  const bool toPort = c == ':' && !insideBrackets_;
  if (toPort || endsAuthority(c)) {
    if (buffer_.empty()) return Refusal::invalid;
    auto host = UrlHost::parse(buffer_);
    if (!host) {
      return host.error() == UrlHost::Refusal::needsIdna ? Refusal::needsIdna : Refusal::invalid;
    }
    url_.host = std::move(host).value();
    buffer_.clear();
    if (toPort) {
      state_ = State::port;
    } else {
      state_ = State::pathStart;
      --pointer_;
    }
    return std::nullopt;
  }
  if (c == '[') insideBrackets_ = true;
  if (c == ']') insideBrackets_ = false;
  buffer_.push_back(static_cast<char>(c));
  takeRun(buffer_, [](unsigned char next) {
    return next != ':' && next != '[' && next != ']' && !endsAuthority(next);
  });
  return std::nullopt;
}

std::optional<UrlParser::Refusal> Machine::port(int c) {
  if (c != kEnd && UriCharacters::isDigit(static_cast<char>(c))) {
    buffer_.push_back(static_cast<char>(c));
    return std::nullopt;
  }
  if (!endsAuthority(c)) return Refusal::invalid;
  if (!buffer_.empty()) {
    uint32_t value = 0;
    for (char digit : buffer_) {
      value = value * 10 + static_cast<uint32_t>(digit - '0');
      if (value > kMaxPort) return Refusal::invalid;
    }
    const auto port = static_cast<uint16_t>(value);
    if (port == schemeDefaultPort(url_.scheme)) {
      url_.port.reset();
    } else {
      url_.port = port;
    }
    buffer_.clear();
  }
  state_ = State::pathStart;
  --pointer_;
  return std::nullopt;
}

void Machine::path(int c) {
  // The segment is written straight into the path; "/" opens it, and a dot segment is taken out
  // again when it ends.
  if (segmentStart_ == std::string::npos) {
    url_.path.push_back('/');
    segmentStart_ = url_.path.size();
  }
  const bool slash = c == '/' || c == '\\';
  if (!slash && c != kEnd && c != '?' && c != '#') {
    appendEncoded(url_.path, c, Set::path);
    // Most of a path needs nothing done: take the run at once.
    takeRun(
        url_.path, [](unsigned char next) { return isPlainInPath(next); }, kPathStops);
    return;
  }
  const std::string_view segment = std::string_view(url_.path).substr(segmentStart_);
  const bool doubleDot = isDoubleDot(segment);
  if (doubleDot || isSingleDot(segment)) {
    url_.path.erase(segmentStart_ - 1);
    if (doubleDot) shortenPath();
    if (!slash) url_.path.push_back('/');
  }
  segmentStart_ = std::string::npos;
  openQueryOrFragment(c);
}

// What the standard does before parsing: spaces and controls around the input go, and so do
// tabs and line breaks anywhere in it.
std::string_view prepared(std::string_view input, std::string& storage) {
  while (!input.empty() && static_cast<unsigned char>(input.front()) <= 0x20)
    input.remove_prefix(1);
  while (!input.empty() && static_cast<unsigned char>(input.back()) <= 0x20) input.remove_suffix(1);
  if (input.empty()) return input;
  // Nearly every reference holds none of them: each memchr passes over a signed query of
  // kilobytes many times faster than a byte-wise look for all three would.
  const bool clean = std::memchr(input.data(), '\t', input.size()) == nullptr &&
                     std::memchr(input.data(), '\n', input.size()) == nullptr &&
                     std::memchr(input.data(), '\r', input.size()) == nullptr;
  if (clean) return input;
  storage.reserve(input.size());
  for (char c : input) {
    if (c != '\t' && c != '\n' && c != '\r') storage.push_back(c);
  }
  return storage;
}

}  // namespace

UrlParser::Base::Base(UrlRecord record) : url(std::move(record)) {
  for (size_t i = 0; i < url.path.size(); ++i) {
    if (url.path[i] == '/') pathSlashes.push_back(static_cast<uint32_t>(i));
  }
}

Expected<UrlParser::Reading, UrlParser::Refusal> UrlParser::read(std::string_view input,
                                                                 const Base* base) {
  std::string storage;
  return Machine(prepared(input, storage), base ? &base->url : nullptr,
                 base ? &base->pathSlashes : nullptr)
      .run();
}

UrlRecord UrlParser::whole(Reading reading, const UrlRecord* base) {
  UrlRecord url = std::move(reading.own);
  const Inherited& inherited = reading.inherited;
  if (base == nullptr) return url;
  if (inherited.authority) {
    url.username = base->username;
    url.password = base->password;
    url.host = base->host;
    url.port = base->port;
  }
  if (inherited.path > 0) url.path.insert(0, base->path, 0, inherited.path);
  if (inherited.query) url.query = base->query;
  return url;
}

Expected<UrlRecord, UrlParser::Refusal> UrlParser::parse(std::string_view input,
                                                         const UrlRecord* base) {
  std::string storage;
  auto reading = Machine(prepared(input, storage), base, nullptr).run();
  if (!reading) return reading.error();
  return whole(std::move(reading).value(), base);
}

}  // namespace ombrelia
