// The request-head parser and the chunked body decoder: bytes from any client.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "webserver/core/WebServerChunkedDecoder.hpp"
#include "webserver/core/WebServerRequestHeadParser.hpp"
#include "webserver/requests/WebServerRequest.hpp"

using namespace ombrelia;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  // Fed in uneven pieces, as reads deliver them.
  WebServerRequestHeadParser parser;
  size_t offset = 0;
  size_t step = 1;
  while (offset < bytes.size() && parser.state() == WebServerRequestHeadParser::State::incomplete) {
    parser.append(bytes.substr(offset, step));
    offset += step;
    step = step * 3 % 17 + 1;
  }
  if (parser.state() == WebServerRequestHeadParser::State::complete) {
    WebServerRequestInfo info;
    info.method = parser.head().method;
    info.headers = parser.head().headers;
    info.path.push_back('/');
    WebServerRequest request(std::move(info));
    (void)request.byteRange();
    uint64_t delivered = 0;
    WebServerChunkedDecoder decoder(1 << 20, [&](std::string_view piece) {
      delivered += piece.size();
      return true;
    });
    decoder.append(parser.remainder());
    if (delivered > (1u << 20))
      __builtin_trap();
  }
  return 0;
}
