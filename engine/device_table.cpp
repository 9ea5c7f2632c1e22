#include "engine/device_table.h"

#include <vector>

#include "engine/messages.h"

namespace zorbent {
namespace {

constexpr std::string_view kNoUpgrade = "There is no upgrade function for this product!\r\n";

// The zOrbent line-mode models: their version is in QKI's answer, and so is the gate's.
constexpr DeviceModel ZorbentLineModel(std::int32_t code, std::string_view name,
                                       std::array<std::string_view, 3> qki,
                                       std::array<std::string_view, 3> accepts,
                                       std::string_view versionPrefix, std::string_view below) {
  return {code,        name,    Family::kLine,
          qki,         name,    name,
          name.size(), true,    '9',
          "QKI",       accepts, versionPrefix,
          "",          2229,    messages::kNoVersion,
          below,       false,   22,
          "QKVERS",    'V',     "QK UCS_ATI ELM327 v",
          "OK",        "2.2",   ""};
}

// The Ruvo models: their version is in QKVERS's answer ("RuvoXX V4.0.05").
constexpr DeviceModel RuvoModel(std::int32_t code, std::string_view name, std::string_view qki,
                                std::string_view tooOld, std::string_view reject,
                                std::string_view below, bool belowFinal, std::int32_t elmLimit,
                                std::string_view elmFloor) {
  return {code,       name,     Family::kLine, {qki},      "",         name,     name.size(), false,
          '5',        "QKVERS", {"RuvoXX V"},  "RuvoXX V", tooOld,     4005,     reject,      below,
          belowFinal, elmLimit, "QKI",         'v',        "QKVADJ v", "ELM327", elmFloor,    ""};
}

// The block-mode models: identified by QKVERS, opened with their own download command.
constexpr DeviceModel BlockModel(std::int32_t code, std::string_view name, std::string_view qki,
                                 std::string_view qkvers, std::string_view file,
                                 std::size_t fileMatch, std::string_view download) {
  return {code,      name,   Family::kBlock,
          {qki},     qkvers, file,
          fileMatch, false,  '9',
          "",        {},     "",
          "",        0,      "",
          "",        false,  22,
          "QKVERS",  'V',    "QK UCS_ATI ELM327 v",
          "OK",      "2.2",  download};
}

constexpr std::array<DeviceModel, kModelCount> kModels = {
    RuvoModel(0, "Ruvo03", "RuvoPro v", "Ruvo V3", messages::kNoVersion,
              "Please upgrade to version rUvoPro_V4.0.0X first!\r\n", false, 23, "2.2"),
    ZorbentLineModel(1, "KTR5575", {"Z_Orbe01", "zOrbent MC", "zOrbent-MC"},
                     {"Z_Orbe01", "zOrbent MC", "zOrbent-MC"}, "",
                     "Please upgrade to version zOrbent_MC_V2.2.2X first!\r\n"),
    ZorbentLineModel(2, "KTR5577", {"zOrbent BM"}, {"zOrbent BM", "zOrbent FD"}, "zOrbent BM v",
                     "Please upgrade to version zOrbent_BM_V2.2.2X first!\r\n"),
    ZorbentLineModel(3, "KTR5578", {"zOrbent FD"}, {"zOrbent BM", "zOrbent FD"}, "zOrbent FD v",
                     "Please upgrade to version zOrbent_FD_V2.2.2X first!\r\n"),
    RuvoModel(4, "Ruvo01", "Ruvo01 v", "", kNoUpgrade, kNoUpgrade, true, 22, "2.1"),
    // A block file's device name begins with the whole of its model's: "zOrbent FS v2.4.01",
    // "zOrbent FS BT v2.4.01"; a name that shares only "zOrben" is neither model's.
    BlockModel(5, "KTR558", "zOrbent FS", "KTR558", "zOrbent FS v", 12, "QKDLKTR558"),
    BlockModel(6, "KTR5688", "zOrbent FS BT", "KTR568", "zOrbent FS BT v", 13, "QKDLKTR5688"),
};

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

std::string ModelNames(Family family) {
  std::vector<std::string> names;
  for (const DeviceModel& model : kModels)
    if (model.family == family) names.emplace_back(model.name);
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
