#include "platform/url/UrlRecord.hpp"

namespace ombrelia {

Url UrlRecord::toUrl() && {
  Url url;
  url.setScheme(std::move(scheme));
  if (!username.empty() || !password.empty()) {
    url.setUserInfo(password.empty() ? std::move(username) : username + ":" + password);
  }
  // Url keeps IPv6 hosts without their brackets.
  url.setHost(host.starts_with('[') ? host.substr(1, host.size() - 2) : std::move(host));
  url.setPort(port ? std::optional<int>(*port) : std::nullopt);
  url.setPath(std::move(path));
  url.setQuery(std::move(query));
  url.setFragment(std::move(fragment));
  return url;
}

}  // namespace ombrelia
