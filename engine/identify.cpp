#include "engine/identify.h"

namespace zorbent {

std::int32_t ReportDeviceVersion(UpdateEngine&, Port&, std::int32_t) { return -2; }
std::int32_t ReportAdapterVersion(UpdateEngine&, Port&, std::int32_t) { return -2; }

}  // namespace zorbent
