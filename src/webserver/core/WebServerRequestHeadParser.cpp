#include "webserver/core/WebServerRequestHeadParser.hpp"

#include "webserver/core/WebServerFunctions.hpp"

namespace ombrelia {
namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";

// Visible ASCII and bytes above 0x7F (UTF-8 in a target is sent escaped by clients, but
// servers commonly accept it raw); no control character, no space.
bool isValidTarget(std::string_view target) {
  if (target.empty())
    return false;
  for (char c : target) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F)
      return false;
  }
  return true;
}

// Field values: visible characters, spaces, tabs and obs-text; never CR, LF or NUL.
bool isValidFieldValue(std::string_view value) {
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7F)
      return false;
  }
  return true;
}

} // namespace

WebServerRequestHeadParser::State WebServerRequestHeadParser::append(std::string_view bytes) {
  if (state_ != State::incomplete)
    return state_;
  buffer_.append(bytes);
  // Resume the search a few bytes back, in case the blank line straddles two reads.
  const size_t from = scanned_ >= kHeadEnd.size() - 1 ? scanned_ - (kHeadEnd.size() - 1) : 0;
  if (requestLineLength_ == std::string::npos) {
    requestLineLength_ = buffer_.find("\r\n", from == 0 ? 0 : from + 2);
  }
  if ((requestLineLength_ == std::string::npos ? buffer_.size() : requestLineLength_) >
      kMaxRequestLineBytes) {
    state_ = State::requestLineTooLong;
    return state_;
  }
  const size_t end = buffer_.find(kHeadEnd, from);
  if (end == std::string::npos) {
    scanned_ = buffer_.size();
    if (buffer_.size() > kMaxHeadBytes) {
      state_ = State::headTooLarge;
    }
    return state_;
  }
  headLength_ = end + kHeadEnd.size();
  if (headLength_ > kMaxHeadBytes) {
    state_ = State::headTooLarge;
    return state_;
  }
  state_ = parseHead(std::string_view(buffer_).substr(0, end + 2));
  return state_;
}

std::string_view WebServerRequestHeadParser::remainder() const {
  if (state_ != State::complete)
    return {};
  return std::string_view(buffer_).substr(headLength_);
}

WebServerRequestHeadParser::State WebServerRequestHeadParser::parse(std::string_view bytes,
                                                                    WebServerRequestHead &head) {
  WebServerRequestHeadParser parser;
  State state = parser.append(bytes);
  if (state == State::incomplete) {
    // Accept a head given without its final blank line.
    state = parser.append(bytes.ends_with("\r\n") ? "\r\n" : "\r\n\r\n");
  }
  if (state == State::complete)
    head = parser.head_;
  return state;
}

// `text` holds every line of the head, each ended by CR LF, without the final blank line.
WebServerRequestHeadParser::State WebServerRequestHeadParser::parseHead(std::string_view text) {
  size_t lineEnd = text.find("\r\n");
  if (lineEnd > kMaxRequestLineBytes)
    return State::requestLineTooLong;
  const std::string_view requestLine = text.substr(0, lineEnd);
  const size_t firstSpace = requestLine.find(' ');
  const size_t lastSpace = requestLine.rfind(' ');
  if (firstSpace == std::string_view::npos || firstSpace == lastSpace)
    return State::malformed;
  const std::string_view method = requestLine.substr(0, firstSpace);
  const std::string_view target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
  const std::string_view version = requestLine.substr(lastSpace + 1);
  // A method is an HTTP token, the same rule as for a header name.
  if (!WebServerIsValidHeaderName(method) || !isValidTarget(target) ||
      (version != "HTTP/1.1" && version != "HTTP/1.0")) {
    return State::malformed;
  }
  WebServerRequestHead head;
  head.method = method;
  head.target = target;
  head.version = version;

  size_t count = 0;
  size_t position = lineEnd + 2;
  while (position < text.size()) {
    lineEnd = text.find("\r\n", position);
    const std::string_view line = text.substr(position, lineEnd - position);
    position = lineEnd + 2;
    // Obsolete line folding (a line starting with white space) is refused: it lets a client
    // hide a header from one parser and show it to another.
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
      return State::malformed;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = WebServerTrimWhitespace(line.substr(colon + 1));
    if (!WebServerIsValidHeaderName(name) || !isValidFieldValue(value))
      return State::malformed;
    if (++count > kMaxHeaderCount)
      return State::headTooLarge;
    auto [it, inserted] = head.headers.try_emplace(std::string(name), value);
    if (!inserted) {
      // Repeated fields combine into one list, as HTTP defines; a repeated Content-Length
      // thereby becomes invalid instead of ambiguous.
      it->second.append(", ").append(value);
    }
  }
  head_ = std::move(head);
  return State::complete;
}

} // namespace ombrelia
