#pragma once
// One connection's steps at a time: a parser belongs to one request.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "webserver/requests/WebServerMultiPart.hpp"

namespace ombrelia {

// Parses a "multipart/form-data" body as it arrives: arguments are kept in memory, files are
// streamed into temporary files (mkstemp, mode 0600), and a nested "multipart/mixed" part is
// parsed by a second parser. Results go to the lists it is given, in body order.
class WebServerMIMEStreamParser {
public:
  // A part's headers beyond this are not a form, they are an attack on memory.
  static constexpr size_t kMaxPartHeaderBytes = 16 * 1024;
  // Arguments are held in memory until their delimiter arrives; larger values belong in files.
  static constexpr size_t kMaxArgumentBytes = 1024 * 1024;
  // Parts per body (each file part costs a temporary file).
  static constexpr size_t kMaxParts = 1024;
  // RFC 2046 allows white space after a delimiter before its CR LF; a long run of it is data.
  static constexpr size_t kMaxTransportPadding = 64;
  // A nested "multipart/mixed" may not nest again.
  static constexpr int kMaxDepth = 1;

  using Arguments = std::vector<std::shared_ptr<WebServerMultiPartArgument>>;
  using Files = std::vector<std::shared_ptr<WebServerMultiPartFile>>;

  // Absent for an empty or over-long boundary (RFC 2046 allows at most 70 characters).
  [[nodiscard]] static std::unique_ptr<WebServerMIMEStreamParser>
  create(std::string_view boundary, std::optional<std::string> defaultControlName,
         Arguments &arguments, Files &files, int depth = 0);
  ~WebServerMIMEStreamParser();
  WebServerMIMEStreamParser(const WebServerMIMEStreamParser &) = delete;
  WebServerMIMEStreamParser &operator=(const WebServerMIMEStreamParser &) = delete;

  // Parses as far as the bytes go; false on a parse failure (after which nothing more parses).
  bool appendBytes(const uint8_t *bytes, size_t length);
  bool appendBytes(std::string_view bytes) {
    return appendBytes(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  }
  // The final delimiter was seen.
  bool isAtEnd() const { return state_ == State::end; }

private:
  enum class State { start, headers, content, end };
  enum class Delimiter { notFound, wait, nextPart, finalPart };

  WebServerMIMEStreamParser(std::string boundary, std::optional<std::string> defaultControlName,
                            Arguments &arguments, Files &files, int depth);
  bool parse();
  bool parseHeaders();
  // Finds the next real delimiter at or after searchFrom_; sets `at` (its start) and `after`
  // (the first byte of the next part's headers).
  Delimiter findDelimiter(size_t &at, size_t &after);
  bool passOn(std::string_view data);
  bool finishPart(std::string_view data);
  void discardTemporaryFile();
  bool fail();

  std::string delimiter_; // CR LF "--" boundary
  std::optional<std::string> defaultControlName_;
  Arguments &arguments_;
  Files &files_;
  int depth_;
  State state_ = State::start;
  bool failed_ = false;
  std::string data_;
  size_t searchFrom_ = 0;
  size_t parts_ = 0;
  std::optional<std::string> controlName_;
  std::optional<std::string> fileName_;
  std::string contentType_;
  std::string temporaryPath_;
  int temporaryFile_ = -1;
  std::unique_ptr<WebServerMIMEStreamParser> subParser_;
};

} // namespace ombrelia
