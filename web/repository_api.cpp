// The firmware repository as the page's JavaScript calls it (zorbent_engine.js): the same
// client as the programs' (firmware/tuf), with fetch() for downloads and the host's storage
// for the trusted metadata (the browser's localStorage, or a folder under Node). Each call
// suspends (Asyncify) while a download or a signature check waits, and returns JSON text with
// ok and, for a refusal, the sentence that says what failed and what to do.

#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/device_table.h"
#include "firmware/release_builds.h"
#include "firmware/tuf/updater.h"
#include "firmware/tuf/words.h"
#include "platform/files.h"
#include "web/engine_api.h"

// The host's answer waits in Module.zorbentSlot ({bytes, text}) until the wasm copies it: the
// wasm must not be called into while it is suspended.
// clang-format off
EM_ASYNC_JS(int, web_repository_fetch, (const char* url, double maxBytes), {
  let got;
  try {
    got = await Module.zorbentHost.repository.fetch(UTF8ToString(url), maxBytes);
  } catch (error) {
    got = {ok : false, kind : "cannot_connect", problem : String(error && error.message || error)};
  }
  Module.zorbentSlot = {
    bytes : got.ok ? got.bytes : new Uint8Array(0),
    text : JSON.stringify({
      kind : got.kind || "",
      problem : got.problem || "",
      status : got.status || 0,
      url : got.url || ""
    })
  };
  return got.ok ? got.bytes.length : -1;
});
// clang-format on

// clang-format off
EM_JS(int, web_repository_load, (const char* role), {
  let text = null;
  try {
    text = Module.zorbentHost.repository.load(UTF8ToString(role));
  } catch (error) {
    text = null;
  }
  if (typeof text !== "string") return -1;
  Module.zorbentSlot = {bytes : new TextEncoder().encode(text), text : ""};
  return Module.zorbentSlot.bytes.length;
});
// clang-format on

// clang-format off
EM_JS(int, web_repository_save, (const char* role, const std::uint8_t* bytes, int size), {
  let why = "";
  try {
    const text = new TextDecoder("utf-8", {fatal : true}).decode(HEAPU8.slice(bytes, bytes + size));
    why = Module.zorbentHost.repository.save(UTF8ToString(role), text) || "";
  } catch (error) {
    why = String(error && error.message || error);
  }
  Module.zorbentSlot = {bytes : new Uint8Array(0), text : why};
  return why ? 0 : 1;
});
// clang-format on

// clang-format off
EM_JS(void, web_slot_bytes, (std::uint8_t * to), { HEAPU8.set(Module.zorbentSlot.bytes, to); });
// clang-format on

// clang-format off
EM_JS(int, web_slot_text_size, (), { return lengthBytesUTF8(Module.zorbentSlot.text); });
// clang-format on

// clang-format off
EM_JS(void, web_slot_text, (char* to, int size),
      { stringToUTF8(Module.zorbentSlot.text, to, size); });
// clang-format on

namespace zorbent {
namespace {

std::string SlotText() {
  std::string text(static_cast<std::size_t>(web_slot_text_size()) + 1, '\0');
  web_slot_text(text.data(), static_cast<int>(text.size()));
  text.pop_back();
  return text;
}

FetchResult::Problem FetchKind(std::string_view kind) {
  using P = FetchResult::Problem;
  return kind == "bad_url"          ? P::kBadUrl
         : kind == "not_found"      ? P::kNotFound
         : kind == "http_status"    ? P::kHttpStatus
         : kind == "timed_out"      ? P::kTimedOut
         : kind == "too_large"      ? P::kTooLarge
         : kind == "cannot_connect" ? P::kCannotConnect
                                    : P::kCannotConnect;
}

// Downloads through the host's fetch(), which stops reading past maxBytes and gives up on a
// server too slow to answer.
class WebFetcher : public tuf::Fetcher {
 public:
  FetchResult Fetch(std::string_view url, std::size_t maxBytes) override {
    FetchResult result;
    const int size = web_repository_fetch(std::string(url).c_str(), static_cast<double>(maxBytes));
    const nlohmann::json facts = nlohmann::json::parse(SlotText(), nullptr, false);
    result.url = facts.is_object() ? facts.value("url", std::string(url)) : std::string(url);
    if (size >= 0) {
      result.ok = true;
      result.body.resize(static_cast<std::size_t>(size));
      web_slot_bytes(result.body.data());
      return result;
    }
    if (facts.is_object()) {
      result.kind = FetchKind(facts.value("kind", ""));
      result.systemText = facts.value("problem", "");
      result.httpStatus = facts.value("status", 0L);
    }
    if (result.kind == FetchResult::Problem::kTooLarge) result.limit = maxBytes;
    if (result.systemText.empty()) result.systemText = "the download failed";
    return result;
  }
};

// The host keeps each role's verified metadata for the repository it was made for.
class WebStore : public tuf::MetadataStore {
 public:
  bool Load(std::string_view role, std::string& bytes) override {
    const int size = web_repository_load(std::string(role).c_str());
    if (size < 0) return false;
    bytes.resize(static_cast<std::size_t>(size));
    web_slot_bytes(reinterpret_cast<std::uint8_t*>(bytes.data()));
    return true;
  }
  bool Save(std::string_view role, std::string_view bytes, std::string& why) override {
    const bool saved = web_repository_save(std::string(role).c_str(),
                                           reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                           static_cast<int>(bytes.size())) != 0;
    if (!saved) why = SlotText();
    return saved;
  }
};

// One run of the client: the start time is read once, as every check of the run uses it.
struct Client {
  Client(const char* metadataUrl, const char* targetsUrl)
      : updater(tuf::UpdaterConfig{.metadataUrl = metadataUrl,
                                   .targetsUrl = targetsUrl,
                                   .now = std::chrono::duration_cast<std::chrono::seconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count(),
                                   .limits = {}},
                fetcher, store) {}
  WebFetcher fetcher;
  WebStore store;
  tuf::Updater updater;
};

const char* Reply(const nlohmann::json& reply) {
  static std::string text;
  text = reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return text.c_str();
}

const char* Refusal(const tuf::Problem& problem) {
  return Reply({{"ok", false}, {"sentence", tuf::ProblemSentence(problem)}});
}

std::string Sha256Of(const tuf::Target& target) {
  const auto found = target.hashes.find("sha256");
  return found == target.hashes.end() ? std::string() : found->second;
}

std::string_view PickName(Pick pick) {
  switch (pick) {
    case Pick::kNewer:
      return "newer";
    case Pick::kUpToDate:
      return "up_to_date";
    case Pick::kOnlyOlder:
      return "only_older";
    case Pick::kNoBuild:
      break;
  }
  return "no_build";
}

}  // namespace
}  // namespace zorbent

using namespace zorbent;

extern "C" {

// Refreshes the trusted metadata: JSON with ok, and targets (name, length, sha256, custom).
EMSCRIPTEN_KEEPALIVE const char* zorbent_repository_refresh(const char* metadataUrl,
                                                            const char* targetsUrl) {
  Client client(metadataUrl, targetsUrl);
  tuf::Problem problem;
  std::vector<tuf::Target> targets;
  if (!client.updater.Refresh(problem) || !client.updater.ListTargets(targets, problem))
    return Refusal(problem);
  nlohmann::json listed = nlohmann::json::array();
  for (const tuf::Target& target : targets)
    listed.push_back({{"name", target.path},
                      {"length", target.length},
                      {"sha256", Sha256Of(target)},
                      {"custom", target.custom}});
  return Reply({{"ok", true}, {"targets", listed}});
}

// After a refresh, the build for an adapter of model running version: JSON with ok, pick
// ("newer", "up_to_date", "only_older", "no_build") and build (model, family, version, file:
// the target's name, size, sha256, notes).
EMSCRIPTEN_KEEPALIVE const char* zorbent_repository_choose(const char* metadataUrl,
                                                           const char* targetsUrl,
                                                           const char* model, const char* version,
                                                           int allowOlder) {
  Client client(metadataUrl, targetsUrl);
  tuf::Problem problem;
  std::vector<tuf::Target> targets;
  if (!client.updater.Refresh(problem) || !client.updater.ListTargets(targets, problem))
    return Refusal(problem);
  const std::vector<ReleaseBuild> builds = BuildsOf(targets);
  const BuildChoice choice = ChooseBuild(builds, model, version, allowOlder != 0);
  nlohmann::json reply = {{"ok", true}, {"pick", PickName(choice.pick)}};
  if (choice.build != nullptr) {
    const ReleaseBuild& build = *choice.build;
    reply["build"] = {{"model", build.model},        {"family", FamilyWord(build.family)},
                      {"version", build.version},    {"file", build.target.path},
                      {"size", build.target.length}, {"sha256", Sha256Of(build.target)},
                      {"notes", build.notes}};
  }
  return Reply(reply);
}

// After a refresh, the target name downloaded and verified into the file at path (MEMFS).
// heldPath, when not empty, is a copy already held: when it is the target it is used and
// nothing is fetched. firmware: the bytes must also pass the engine's file check with the
// model and version the target lists (JSON "file" gets the check's facts). JSON with ok and
// held.
EMSCRIPTEN_KEEPALIVE const char* zorbent_repository_download(const char* metadataUrl,
                                                             const char* targetsUrl,
                                                             const char* name, const char* path,
                                                             const char* heldPath, int firmware) {
  Client client(metadataUrl, targetsUrl);
  tuf::Problem problem;
  tuf::Target target;
  if (!client.updater.Refresh(problem) || !client.updater.FindTarget(name, target, problem))
    return Refusal(problem);
  std::vector<std::uint8_t> bytes;
  std::string why;
  bool held = false;
  if (*heldPath != '\0' && LoadWholeFile(heldPath, bytes, target.length + 1) >= 0 &&
      tuf::Updater::Matches(target, bytes)) {
    held = true;
  } else if (!client.updater.DownloadTarget(target, bytes, problem)) {
    return Refusal(problem);
  }
  if (!held && !WriteFileAtomically(path, std::span<const std::uint8_t>(bytes), why))
    return Reply({{"ok", false}, {"sentence", std::string(name) + " could not be kept: " + why}});
  nlohmann::json reply = {{"ok", true}, {"held", held}, {"custom", target.custom}};
  if (firmware != 0) {
    const nlohmann::json facts = CheckFileJson(held ? heldPath : path);
    reply["file"] = facts;
    // The listing's model and version against the file's own, by the program's one rule.
    const std::vector<ReleaseBuild> listed = BuildsOf({target});
    std::string refused;
    if (listed.empty()) {
      refused = target.path +
                " is listed with no model and version of a firmware file. It was "
                "not used: tell the repository's publisher.";
    } else {
      FileIsTheListedBuild(listed.front(), bytes, refused);
    }
    if (!refused.empty()) {
      reply["ok"] = false;
      reply["sentence"] = refused;
    }
  }
  return Reply(reply);
}

}  // extern "C"
