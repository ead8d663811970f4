// The multipart form parser: an uploaded body from any client. The first line is the boundary.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "webserver/requests/WebServerMIMEStreamParser.hpp"

using namespace ombrelia;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  const size_t newline = input.find('\n');
  if (newline == std::string_view::npos)
    return 0;
  const std::string_view boundary = input.substr(0, newline);
  const std::string_view body = input.substr(newline + 1);
  WebServerMIMEStreamParser::Arguments arguments;
  WebServerMIMEStreamParser::Files files;
  auto parser = WebServerMIMEStreamParser::create(boundary, std::nullopt, arguments, files);
  if (!parser)
    return 0;
  // Uneven pieces, as socket reads deliver them.
  size_t offset = 0;
  size_t step = 1;
  while (offset < body.size()) {
    if (!parser->appendBytes(body.substr(offset, step)))
      break;
    offset += step;
    step = step * 5 % 23 + 1;
  }
  for (const auto &argument : arguments) {
    if (argument->data().size() > WebServerMIMEStreamParser::kMaxArgumentBytes)
      __builtin_trap();
  }
  return 0;
}
