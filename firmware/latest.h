#pragma once

// Firmware from the maker's repository (The Update Framework's format): where it is
// configured, which root is trusted for it, the trusted metadata kept per repository between
// runs, downloading a build into the cache and checking that the file is the build listed.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/release_builds.h"
#include "platform/http.h"

namespace zorbent {

// The environment variable that names the repository instead of the config file.
inline constexpr const char* kRepositoryVariable = "ZORBENT_FW_REPOSITORY";
// The config file is a few lines.
inline constexpr std::int64_t kMaxConfigBytes = 64 * 1024;

// Where firmware comes from.
struct FirmwareSource {
  std::string repositoryUrl;  // the repository's folder (metadata/, targets/); empty: none set
  std::string rootFile;       // the root named for it (--root, "root = PATH"); empty: the maker's
  std::string caFile;         // extra CA for https (tests, private servers)
  bool allowHttp = false;     // http:// beyond the loopback
  // No byte for this long ends a download (a stalled server); tests shorten it.
  std::int32_t stallTimeoutMs = FetchLimits{}.stallTimeoutMs;
};

// The configured source: the repository from ZORBENT_FW_REPOSITORY, else the config file's
// "repository = URL" line; a "root = PATH" line names its root (<config folder>/config; '#'
// comments). A bad line is a problem naming it. The command line puts its own --repository,
// --root, --ca-file and --allow-http on top.
bool DefaultFirmwareSource(FirmwareSource& source, std::string& problem);

// One repository for one run: its trusted metadata refreshed (or read as kept), its builds,
// and their downloads.
class FirmwareRepository {
 public:
  explicit FirmwareRepository(FirmwareSource source);
  ~FirmwareRepository();
  FirmwareRepository(const FirmwareRepository&) = delete;
  FirmwareRepository& operator=(const FirmwareRepository&) = delete;

  // The client workflow against the repository, the trusted metadata kept in the user's data
  // folder. The first run seeds it with the source's root (or the maker's: built in or
  // /etc/zorbent-fw/root.json); afterwards the kept root counts, never a root given again.
  // With offlineToo, a repository that cannot be reached is read from the metadata kept, when
  // that has not expired (offline tells it was). False with a sentence.
  bool Open(std::string& problem, bool offlineToo = false, bool* offline = nullptr);
  const std::string& Url() const { return source_.repositoryUrl; }
  // The builds listed (after Open), per model newest first; ignored counts other targets.
  const std::vector<ReleaseBuild>& Builds() const { return builds_; }
  int Ignored() const { return ignored_; }

  // The build's file from the cache folder when a copy there matches its listing, else
  // downloaded (length and hashes checked before use) and kept there; then the file's own
  // model, family and version compared with the listing. path is the kept file, bytes the
  // checked bytes themselves (what an update sends). False with a sentence.
  bool Download(const ReleaseBuild& build, std::string& path, std::vector<std::uint8_t>& bytes,
                std::string& problem, const FetchProgress& progress = {});

  // The build whose file has this SHA-256 (lower-case hex), or null.
  const ReleaseBuild* FindBySha256(std::string_view sha256) const;

 private:
  struct Client;
  FirmwareSource source_;
  std::unique_ptr<Client> client_;
  std::vector<ReleaseBuild> builds_;
  int ignored_ = 0;
};

// Why url may not be used as a repository (a scheme without protection beyond the loopback,
// unless allowed), or empty.
std::string RepositoryUrlProblem(std::string_view url, bool allowHttp);

}  // namespace zorbent
