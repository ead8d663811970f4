#include "proxy/PlaylistContent.hpp"

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/url/Utf8.hpp"

namespace ombrelia {

bool PlaylistContent::looksLikePlaylist(const HTTPLoader::Response& r) {
  if (r.statusCode != 200 || !r.data) return false;
  if (r.contentType) {
    std::string type = *r.contentType;
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (type == "application/vnd.apple.mpegurl" || type == "application/x-mpegurl" ||
        type == "audio/mpegurl" || type == "audio/x-mpegurl") {
      return true;
    }
  }
  return Utf8::withoutByteOrderMark(r.data->view()).starts_with("#EXTM3U");
}

}  // namespace ombrelia
