#pragma once
// Any thread: a value type.

#include <any>
#include <map>
#include <string>

namespace ombrelia {

// The construction parameters of a tag, by key (see TagParamsKeys). Values are strings, integers
// (int64_t) or lists of strings (std::vector<std::string>).
using TagExtraParams = std::map<std::string, std::any, std::less<>>;

}  // namespace ombrelia
