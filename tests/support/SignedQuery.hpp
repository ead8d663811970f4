#pragma once
// Any thread: a pure function.

#include <cstddef>
#include <string>

namespace ombrelia::test {

// A CloudFront-style signed query of `length` characters, as CDNs write into segment URLs.
inline std::string signedQuery(size_t length) {
  const std::string tail = "&Signature=Nw2-cL~qx9_Zk0&Key-Pair-Id=K";
  std::string query = "Policy=";
  const std::string filler = "eyJTdGF0ZW1lbnQiOlt7-_~";
  while (query.size() + tail.size() < length) query += filler[query.size() % filler.size()];
  return query + tail;
}

}  // namespace ombrelia::test
