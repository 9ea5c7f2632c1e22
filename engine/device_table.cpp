#include "engine/device_table.h"

#include "engine/messages.h"

#include <vector>

namespace zorbent {
namespace {

constexpr std::string_view kNoUpgrade = "There is no upgrade function for this product!\r\n";

constexpr std::array<DeviceModel, kModelCount> kModels = {{
    {0,
     "Ruvo03",
     Family::kLine,
     {"RuvoPro v"},
     "",
     "Ruvo03",
     6,
     false,
     '5',
     "QKVERS",
     {"RuvoXX V"},
     "RuvoXX V",
     "Ruvo V3",
     4005,
     messages::kNoVersion,
     "Please upgrade to version rUvoPro_V4.0.0X first!\r\n",
     false,
     23,
     "QKI",
     'v',
     "QKVADJ v",
     "ELM327",
     "2.2",
     ""},
    {1,
     "KTR5575",
     Family::kLine,
     {"Z_Orbe01", "zOrbent MC", "zOrbent-MC"},
     "KTR5575",
     "KTR5575",
     7,
     true,
     '9',
     "QKI",
     {"Z_Orbe01", "zOrbent MC", "zOrbent-MC"},
     "",
     "",
     2229,
     messages::kNoVersion,
     "Please upgrade to version zOrbent_MC_V2.2.2X first!\r\n",
     false,
     22,
     "QKVERS",
     'V',
     "QK UCS_ATI ELM327 v",
     "OK",
     "2.2",
     ""},
    {2,
     "KTR5577",
     Family::kLine,
     {"zOrbent BM"},
     "KTR5577",
     "KTR5577",
     7,
     true,
     '9',
     "QKI",
     {"zOrbent BM", "zOrbent FD"},
     "zOrbent BM v",
     "",
     2229,
     messages::kNoVersion,
     "Please upgrade to version zOrbent_BM_V2.2.2X first!\r\n",
     false,
     22,
     "QKVERS",
     'V',
     "QK UCS_ATI ELM327 v",
     "OK",
     "2.2",
     ""},
    {3,
     "KTR5578",
     Family::kLine,
     {"zOrbent FD"},
     "KTR5578",
     "KTR5578",
     7,
     true,
     '9',
     "QKI",
     {"zOrbent BM", "zOrbent FD"},
     "zOrbent FD v",
     "",
     2229,
     messages::kNoVersion,
     "Please upgrade to version zOrbent_FD_V2.2.2X first!\r\n",
     false,
     22,
     "QKVERS",
     'V',
     "QK UCS_ATI ELM327 v",
     "OK",
     "2.2",
     ""},
    {4,    "Ruvo01", Family::kLine, {"Ruvo01 v"}, "",         "Ruvo01", 6,          false,
     '5',  "QKVERS", {"RuvoXX V"},  "RuvoXX V",   "",         4005,     kNoUpgrade, kNoUpgrade,
     true, 22,       "QKI",         'v',          "QKVADJ v", "ELM327", "2.1",      ""},
    {5,
     "KTR558",
     Family::kBlock,
     {"zOrbent FS"},
     "KTR558",
     "zOrbent FS v",
     6,
     false,
     '9',
     "",
     {},
     "",
     "",
     0,
     "",
     "",
     false,
     22,
     "QKVERS",
     'V',
     "QK UCS_ATI ELM327 v",
     "OK",
     "2.2",
     "QKDLKTR558"},
    {6,
     "KTR5688",
     Family::kBlock,
     {"zOrbent FS BT"},
     "KTR568",
     "zOrbent FS BT",
     13,
     false,
     '9',
     "",
     {},
     "",
     "",
     0,
     "",
     "",
     false,
     22,
     "QKVERS",
     'V',
     "QK UCS_ATI ELM327 v",
     "OK",
     "2.2",
     "QKDLKTR5688"},
}};

// The model whose name, of those names(row) gives, is the longest start of text; -1 for none.
template <typename Names>
std::int32_t LongestMatch(std::string_view text, Names names) {
  std::int32_t found = -1;
  std::size_t longest = 0;
  for (const DeviceModel& model : kModels) {
    for (const std::string_view name : names(model)) {
      if (!name.empty() && name.size() > longest && text.starts_with(name)) {
        found = model.code;
        longest = name.size();
      }
    }
  }
  return found;
}

}  // namespace

std::span<const DeviceModel> DeviceModels() {
  return kModels;
}

const DeviceModel* ModelByCode(std::int32_t code) {
  if (code < 0 || code >= kModelCount) return nullptr;
  return &kModels[static_cast<std::size_t>(code)];
}

const DeviceModel* ModelByName(std::string_view name) {
  for (const DeviceModel& model : kModels)
    if (model.name == name) return &model;
  return nullptr;
}

std::string_view ModelName(std::int32_t code) {
  const DeviceModel* model = ModelByCode(code);
  return model == nullptr ? std::string_view() : model->name;
}

std::int32_t ModelOfQki(std::string_view answer) {
  return LongestMatch(answer, [](const DeviceModel& m) { return m.qkiNames; });
}

std::int32_t ModelOfQkvers(std::string_view answer) {
  return LongestMatch(
      answer, [](const DeviceModel& m) { return std::array<std::string_view, 1>{m.qkversName}; });
}

std::int32_t ModelOfAnswers(std::string_view qkiAnswer, std::string_view qkversAnswer) {
  const std::int32_t byQki = ModelOfQki(qkiAnswer);
  return byQki >= 0 ? byQki : ModelOfQkvers(qkversAnswer);
}

std::int32_t ModelOfFile(Family family, std::string_view deviceName) {
  for (const DeviceModel& model : kModels)
    if (family == Family::kLine && model.family == family && model.fileDeviceName == deviceName)
      return model.code;
  if (family != Family::kBlock) return -1;
  return LongestMatch(deviceName, [](const DeviceModel& m) {
    return std::array<std::string_view, 1>{
        m.family == Family::kBlock ? m.fileDeviceName.substr(0, m.fileNameMatch) : ""};
  });
}

std::string FileDeviceNames(Family family) {
  std::vector<std::string> names;
  for (const DeviceModel& model : kModels) {
    if (model.family != family) continue;
    names.emplace_back(model.fileDeviceName);
    if (family == Family::kBlock) names.back() += "...";
  }
  return JoinWithCommas(names);
}

std::string IdentifyingAnswer(const DeviceModel& model) {
  if (model.family == Family::kBlock)
    return "answers \"" + std::string(model.qkversName) + "...\" to QKVERS";
  return "answers \"" + std::string(model.qkiNames[0]) + "...\" to QKI";
}

std::string JoinWithCommas(std::span<const std::string> items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

}  // namespace zorbent
