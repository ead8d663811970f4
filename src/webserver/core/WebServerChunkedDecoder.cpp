#include "webserver/core/WebServerChunkedDecoder.hpp"

#include <algorithm>

namespace ombrelia {

WebServerChunkedDecoder::WebServerChunkedDecoder(uint64_t maxBodyBytes, Sink sink)
    : maxBodyBytes_(maxBodyBytes), sink_(std::move(sink)) {}

WebServerChunkedDecoder::State WebServerChunkedDecoder::parseSizeLine(std::string_view line) {
  // Extensions after ";" are ignored; white space before them is tolerated.
  std::string_view size = line.substr(0, line.find(';'));
  while (!size.empty() && (size.back() == ' ' || size.back() == '\t'))
    size.remove_suffix(1);
  if (size.empty() || size.size() > kMaxChunkSizeDigits)
    return fail(State::invalidSize);
  uint64_t value = 0;
  for (char c : size) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return fail(State::invalidSize);
    }
    value = (value << 4) | static_cast<uint64_t>(digit);
  }
  if (value > maxBodyBytes_ - decodedBytes_)
    return fail(State::bodyTooLarge);
  remainingInChunk_ = value;
  // The last chunk's size line ends the data; the trailers, then the blank line, follow.
  phase_ = value == 0 ? Phase::trailers : Phase::data;
  line_.clear();
  return State::needMore;
}

WebServerChunkedDecoder::State WebServerChunkedDecoder::append(std::string_view bytes) {
  while (state_ == State::needMore && !bytes.empty()) {
    switch (phase_) {
    case Phase::sizeLine: {
      const size_t newline = bytes.find('\n');
      const std::string_view piece =
          bytes.substr(0, newline == std::string_view::npos ? bytes.size() : newline + 1);
      if (line_.size() + piece.size() > kMaxChunkLineBytes)
        return fail(State::lineTooLong);
      line_.append(piece);
      bytes.remove_prefix(piece.size());
      if (newline == std::string_view::npos)
        break;
      if (line_.size() < 2 || line_[line_.size() - 2] != '\r')
        return fail(State::invalidSize);
      const std::string line = line_.substr(0, line_.size() - 2);
      parseSizeLine(line);
      break;
    }
    case Phase::data: {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(remainingInChunk_, bytes.size()));
      if (!sink_(bytes.substr(0, take)))
        return fail(State::sinkFailed);
      decodedBytes_ += take;
      remainingInChunk_ -= take;
      bytes.remove_prefix(take);
      if (remainingInChunk_ == 0)
        phase_ = Phase::dataCRLF;
      break;
    }
    case Phase::dataCRLF: {
      line_.push_back(bytes.front());
      bytes.remove_prefix(1);
      if (line_.size() < 2)
        break;
      if (line_ != "\r\n")
        return fail(State::missingCRLF);
      line_.clear();
      phase_ = Phase::sizeLine;
      break;
    }
    case Phase::trailers: {
      // line_ starts with the CR LF that ended the last chunk's size line, so an empty
      // trailer section makes it exactly CR LF CR LF.
      if (line_.empty())
        line_ = "\r\n";
      const size_t before = line_.size();
      const size_t take = std::min(bytes.size(), kMaxTrailerBytes + 4 - before);
      line_.append(bytes.substr(0, take));
      const size_t end = line_.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
      if (end != std::string::npos) {
        phase_ = Phase::done;
        state_ = State::complete;
        return state_;
      }
      if (line_.size() >= kMaxTrailerBytes + 4)
        return fail(State::trailersTooLarge);
      bytes.remove_prefix(take);
      break;
    }
    case Phase::done:
      return state_;
    }
  }
  return state_;
}

} // namespace ombrelia
