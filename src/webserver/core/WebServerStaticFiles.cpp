#include "webserver/core/WebServerStaticFiles.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <strings.h>
#include <vector>

#include "webserver/responses/WebServerDataResponse.hpp"
#include "webserver/responses/WebServerErrorResponse.hpp"
#include "webserver/responses/WebServerFileResponse.hpp"

namespace ombrelia {
namespace {

std::optional<std::string> realPath(const std::string &path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr)
    return std::nullopt;
  return std::string(resolved);
}

// True when the decoded relative path stays inside its folder: no NUL, no ".." component.
bool staysInside(std::string_view relative) {
  if (relative.find('\0') != std::string_view::npos)
    return false;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string_view::npos)
      end = relative.size();
    if (relative.substr(start, end - start) == "..")
      return false;
    start = end + 1;
  }
  return true;
}

} // namespace

std::shared_ptr<WebServerResponse>
WebServerStaticFiles::fileResponse(const WebServerRequest &request, const std::string &filePath,
                                   bool isAttachment, uint64_t cacheAge, bool allowRangeRequests) {
  const WebServerByteRange range = allowRangeRequests ? request.byteRange() : WebServerByteRange{};
  auto creation = WebServerFileResponse::create(filePath, range, isAttachment);
  if (creation.failure == WebServerFileResponse::Failure::unsatisfiableRange) {
    auto response = WebServerResponse::responseWithStatusCode(416);
    response->setValueForAdditionalHeader("Content-Range",
                                          "bytes */" + std::to_string(creation.fileSize));
    return response;
  }
  if (!creation.response)
    return nullptr;
  if (allowRangeRequests)
    creation.response->setValueForAdditionalHeader("Accept-Ranges", "bytes");
  creation.response->setCacheControlMaxAge(cacheAge);
  return creation.response;
}

std::shared_ptr<WebServerResponse> WebServerStaticFiles::directoryResponse(
    const WebServerRequest &request, const std::string &basePath, const std::string &directoryPath,
    const std::optional<std::string> &indexFilename, uint64_t cacheAge, bool allowRangeRequests) {
  const std::string relative =
      request.path().substr(std::min(basePath.size(), request.path().size()));
  if (!staysInside(relative))
    return WebServerResponse::responseWithStatusCode(403);
  const std::string path = directoryPath + "/" + relative;
  // A symbolic link inside the folder may still point out of it.
  const auto root = realPath(directoryPath);
  const auto target = realPath(path);
  if (!root || !target)
    return WebServerResponse::responseWithStatusCode(404);
  if (*target != *root && !target->starts_with(*root + "/")) {
    return WebServerResponse::responseWithStatusCode(403);
  }
  struct stat info {};
  if (::stat(target->c_str(), &info) != 0)
    return WebServerResponse::responseWithStatusCode(404);
  if (S_ISDIR(info.st_mode)) {
    if (indexFilename) {
      const std::string index = *target + "/" + *indexFilename;
      struct stat indexInfo {};
      if (::lstat(index.c_str(), &indexInfo) == 0 && S_ISREG(indexInfo.st_mode)) {
        if (auto response = WebServerFileResponse::responseWithFile(index))
          return response;
      }
    }
    auto listing = listingResponse(*target);
    if (!listing)
      return WebServerResponse::responseWithStatusCode(404);
    listing->setCacheControlMaxAge(cacheAge);
    return listing;
  }
  if (S_ISREG(info.st_mode)) {
    if (auto response = fileResponse(request, *target, false, cacheAge, allowRangeRequests)) {
      return response;
    }
  }
  return WebServerResponse::responseWithStatusCode(404);
}

std::shared_ptr<WebServerResponse>
WebServerStaticFiles::listingResponse(const std::string &directoryPath) {
  DIR *directory = ::opendir(directoryPath.c_str());
  if (directory == nullptr)
    return nullptr;
  struct Entry {
    std::string name;
    bool isDirectory;
  };
  std::vector<Entry> entries;
  while (const dirent *entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.front() == '.')
      continue;
    struct stat info {};
    if (::lstat((directoryPath + "/" + name).c_str(), &info) != 0)
      continue;
    if (S_ISREG(info.st_mode)) {
      entries.push_back({name, false});
    } else if (S_ISDIR(info.st_mode)) {
      entries.push_back({name, true});
    }
  }
  ::closedir(directory);
  std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
    const int order = ::strcasecmp(a.name.c_str(), b.name.c_str());
    return order != 0 ? order < 0 : a.name < b.name;
  });
  std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"></head><body>\n<ul>\n";
  for (const Entry &entry : entries) {
    // Names come from the file system: escaped for the URL and for the page.
    const std::string link = WebServerEscapeURLString(entry.name);
    const std::string text = WebServerErrorResponse::escapeHTML(entry.name);
    const char *slash = entry.isDirectory ? "/" : "";
    html += "<li><a href=\"" + link + slash + "\">" + text + slash + "</a></li>\n";
  }
  html += "</ul>\n</body></html>\n";
  return WebServerDataResponse::responseWithHTML(std::move(html));
}

} // namespace ombrelia
