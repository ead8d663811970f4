#include "platform/LoggedUrl.hpp"

#include "platform/CurlUrlReading.hpp"
#include "platform/url/UrlReference.hpp"

namespace ombrelia::platform {

std::string LoggedUrl::of(std::string_view text) {
  // Both take a user name and password only from before an "@".
  if (text.find('@') == std::string_view::npos) return std::string(text);
  std::string whole(text);
  // What the standard refuses (a host needing IDNA, say) may still hold credentials for it.
  const auto standard = UrlReference::read(whole);
  const auto curl = CurlUrlReading::of(whole);
  if (standard && !standard.value().userInfo() && !(curl && curl->holdsCredentials())) {
    return whole;
  }
  return "a URL of " + std::to_string(text.size()) + " bytes";
}

}  // namespace ombrelia::platform
