#include "support/GzipCodec.hpp"

#include <zlib.h>

namespace ombrelia::test {

std::string GzipCodec::compress(std::string_view bytes) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, bytes.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef *>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::optional<std::string> GzipCodec::decompress(std::string_view bytes) {
  z_stream z{};
  inflateInit2(&z, 15 + 16);
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  std::string out;
  int result = Z_OK;
  while (result == Z_OK) {
    char buffer[65536];
    z.next_out = reinterpret_cast<Bytef *>(buffer);
    z.avail_out = sizeof(buffer);
    result = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof(buffer) - z.avail_out);
    if (result == Z_BUF_ERROR && z.avail_in == 0)
      break;
  }
  inflateEnd(&z);
  if (result != Z_STREAM_END || z.avail_in != 0)
    return std::nullopt;
  return out;
}

} // namespace ombrelia::test
