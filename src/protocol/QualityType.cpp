#include "protocol/QualityType.hpp"

#include <array>
#include <utility>

namespace ombrelia {

std::optional<QualityType> determineQualityType(std::string_view resolution) {
  static constexpr std::array<std::pair<std::string_view, QualityType>, 6> kClasses = {{
      {"640x360", QualityType::SD},
      {"1280x720", QualityType::HD},
      {"1920x1080", QualityType::FullHD},
      {"2048x1080", QualityType::K2},
      {"4096x2160", QualityType::K4},
      {"8192x4320", QualityType::K8},
  }};
  for (const auto& [text, type] : kClasses) {
    if (resolution == text) return type;
  }
  return std::nullopt;
}

}  // namespace ombrelia
