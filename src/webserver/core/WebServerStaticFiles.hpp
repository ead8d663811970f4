#pragma once
// Any thread: stateless; called by the GET file and directory handlers on the server's threads.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "webserver/requests/WebServerRequest.hpp"
#include "webserver/responses/WebServerResponse.hpp"

namespace ombrelia {

// The answers of the server's GET conveniences for files and folders.
class WebServerStaticFiles {
public:
  // The file, honouring the request's byte range when allowed (206, or 416 with
  // "Content-Range: bytes */<size>" for a range that selects nothing); none when the file
  // cannot be served.
  static std::shared_ptr<WebServerResponse> fileResponse(const WebServerRequest &request,
                                                         const std::string &filePath,
                                                         bool isAttachment, uint64_t cacheAge,
                                                         bool allowRangeRequests);
  // The entry of `directoryPath` named by the request path after `basePath`: a file, the
  // index file of a folder, or a folder listing. A path that leaves the folder (by "..", a NUL
  // or a symbolic link) answers 403; anything else that cannot be served, 404.
  static std::shared_ptr<WebServerResponse>
  directoryResponse(const WebServerRequest &request, const std::string &basePath,
                    const std::string &directoryPath,
                    const std::optional<std::string> &indexFilename, uint64_t cacheAge,
                    bool allowRangeRequests);
  // The listing page of a folder; none when it cannot be read.
  static std::shared_ptr<WebServerResponse> listingResponse(const std::string &directoryPath);
};

} // namespace ombrelia
