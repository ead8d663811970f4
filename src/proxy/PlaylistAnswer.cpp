#include "proxy/PlaylistAnswer.hpp"

#include "proxy/PlaylistWork.hpp"

namespace ombrelia {

PlaylistAnswer::PlaylistAnswer(Data data, std::string contentType,
                               std::shared_ptr<PlaylistWork> work)
    : WebServerDataResponse(std::move(data), std::move(contentType)), work_(std::move(work)) {}

}  // namespace ombrelia
