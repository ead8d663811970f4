#include "support/SegmentDigests.hpp"

#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

namespace ombrelia::test {

std::string SegmentDigests::of(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    return {};
  static const char* const kHex = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0xF]);
  }
  return text;
}

std::map<std::string, std::string> SegmentDigests::ofFolder(const std::string& folder) {
  std::map<std::string, std::string> digests;
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec)) {
    if (!entry.is_regular_file()) continue;
    const auto extension = entry.path().extension().string();
    if (extension != ".ts" && extension != ".m4s" && extension != ".mp4") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    digests["/" + std::filesystem::relative(entry.path(), folder).generic_string()] = of(bytes);
  }
  return digests;
}

std::optional<std::pair<std::string, std::string>> SegmentDigests::fromLine(
    const std::string& line) {
  static const std::regex digestLine(R"(^digest (\S+) ([0-9a-f]{64})$)");
  std::smatch m;
  // The pattern only for lines that start as one: the rest of a viewer's output skips it cheaply.
  if (line.rfind("digest ", 0) != 0 || !std::regex_match(line, m, digestLine)) return std::nullopt;
  return std::pair<std::string, std::string>(m[1], m[2]);
}

}  // namespace ombrelia::test
