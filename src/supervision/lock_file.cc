#include "supervision/lock_file.h"

#include <climits>
#include <nlohmann/json.hpp>

namespace ql::supervision {

std::optional<int> lockFileProcessId(std::string_view text) {
  nlohmann::json doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  auto it = doc.find("pid");
  if (it == doc.end()) return std::nullopt;
  if (it->is_number_unsigned()) {
    auto v = it->get<unsigned long long>();
    if (v < 1 || v > static_cast<unsigned long long>(INT_MAX)) return std::nullopt;
    return static_cast<int>(v);
  }
  if (it->is_number_integer()) {
    auto v = it->get<long long>();
    if (v < 1 || v > INT_MAX) return std::nullopt;
    return static_cast<int>(v);
  }
  return std::nullopt;
}

}  // namespace ql::supervision
