#include "cli/json_output.h"

#include "firmware/outcome_json.h"

namespace zorbent::cli {

void WriteJsonLine(const nlohmann::json& object, std::FILE* out) {
  const std::string line = JsonLine(object);
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

}  // namespace zorbent::cli
