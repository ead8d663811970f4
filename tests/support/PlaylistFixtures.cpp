#include "support/PlaylistFixtures.hpp"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace ombrelia::test {

std::string PlaylistFixtures::read(std::string_view relativePath) {
  const std::string path =
      std::string(OMBRELIA_SOURCE_DIR) + "/tests/fixtures/playlists/" + std::string(relativePath);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("missing fixture " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string PlaylistFixtures::withCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

}  // namespace ombrelia::test
