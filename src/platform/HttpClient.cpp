#include "platform/HttpClient.hpp"

#include "platform/CurlTransfer.hpp"
#include "platform/HttpClientEngine.hpp"
#include "platform/HttpTask.hpp"

namespace ombrelia::platform {

std::shared_ptr<HttpClient> HttpClient::create() { return create(Settings{}); }

std::shared_ptr<HttpClient> HttpClient::create(Settings settings) {
  return std::shared_ptr<HttpClient>(new HttpClient(std::move(settings)));
}

const std::shared_ptr<HttpClient>& HttpClient::shared() {
  // Never destroyed: loaders on any thread may still use it while the process exits.
  static auto* client = new std::shared_ptr<HttpClient>(
      create({.delegateQueue = DispatchQueue::create("URL session delegate queue")}));
  return *client;
}

HttpClient::HttpClient(Settings settings)
    : settings_(std::move(settings)),
      delegateQueue_(settings_.delegateQueue ? settings_.delegateQueue
                                             : DispatchQueue::create("URL session delegate queue")),
      engine_(std::make_shared<HttpClientEngine>(settings_, delegateQueue_)) {}

HttpClient::~HttpClient() = default;

size_t HttpClient::peakBodyBytesInFlight() const { return engine_->peakBodyBytesInFlight(); }

HttpClient::EngineWork HttpClient::engineWork() const { return engine_->work(); }

std::shared_ptr<HttpTask> HttpClient::dataTask(HttpRequest request, Completion completion) {
  const auto identifier = engine_->nextIdentifier();
  engine_->submit(std::make_unique<CurlTransfer>(identifier, std::move(request),
                                                 std::move(completion), settings_));
  return std::make_shared<HttpTask>(engine_, identifier);
}

}  // namespace ombrelia::platform
