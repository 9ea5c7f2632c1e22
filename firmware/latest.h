#pragma once

// Firmware from the maker's signed manifest: where it is configured, fetching and checking the
// manifest and its files, choosing the build for an adapter, and telling whether a local file
// is one of a signed manifest's.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/manifest.h"
#include "platform/http.h"

namespace zorbent {

// The environment variable that names the manifest instead of the config file.
inline constexpr const char* kManifestVariable = "ZORBENT_FW_MANIFEST";
// A detached signature is at most a few dozen bytes; more is no signature.
inline constexpr std::int64_t kMaxManifestSignatureBytes = 4 * 1024;
// A trusted key file is a PEM public key of a few hundred bytes.
inline constexpr std::int64_t kMaxTrustedKeyBytes = 16 * 1024;
// The config file is a few lines.
inline constexpr std::int64_t kMaxConfigBytes = 64 * 1024;

// Where firmware comes from: the manifest's URL or path and the keys trusted to sign it.
struct FirmwareSource {
  std::string manifestUrl;               // empty: none configured
  std::vector<std::string> trustedKeys;  // PEM texts
  std::vector<std::string> keyNames;     // where each came from, for messages
  std::string caFile;                    // extra CA for https (tests, private servers)
  // No byte for this long ends a download (a stalled server); tests shorten it.
  std::int32_t stallTimeoutMs = FetchLimits{}.stallTimeoutMs;
};

// The configured source: manifest from ZORBENT_FW_MANIFEST, else the config file's
// "manifest = URL" line (<config folder>/config; '#' comments); keys from
// <config folder>/trusted-keys/*.pub, /etc/zorbent-fw/trusted-keys/*.pub (not on Windows)
// and keys built in at build time (CMake option ZORBENT_TRUSTED_KEYS: PEM files embedded;
// none by default). A bad key file is a problem naming it. The command line adds its own
// --manifest / --trust / --ca-file on top (the CLI does that, not this function).
bool DefaultFirmwareSource(FirmwareSource& source, std::string& problem);

// Adds the public key in path to source (its name is the path); false with a sentence naming
// the file when it cannot be read or is no P-256 public key.
bool AddTrustedKeyFile(FirmwareSource& source, const std::string& path, std::string& problem);

struct VerifiedManifest {
  Manifest manifest;
  std::string url;       // as fetched
  std::string signedBy;  // the keyNames entry whose key verified it
};

// Fetches the manifest and its .sig (bounded: kMaxManifestBytes, and a signature limit),
// checks the signature against every trusted key, parses. No trusted key, a missing
// signature, a bad one, a download failure: false with a sentence naming what and what to
// do. A verified manifest is kept in the cache folder (with its signature and URL) so that
// local files can be looked up later without fetching.
bool FetchVerifiedManifest(const FirmwareSource& source, VerifiedManifest& out,
                           std::string& problem, const FetchProgress& progress = {});

// Downloads the build next to the manifest's URL (ResolveRelativeUrl) into the cache folder
// (<cache>/firmware/<sha256>/<file name>), or reuses a cached copy whose SHA-256 matches;
// maxBytes is the declared size (a larger body stops there and fails); checks size and
// SHA-256; writes to a temporary name and renames. path is the checked file; bytes, when
// given, gets the checked bytes themselves, which a caller uses instead of reading path again.
bool FetchBuild(const VerifiedManifest& manifest, const ManifestBuild& build,
                const FirmwareSource& source, std::string& path, std::string& problem,
                const FetchProgress& progress = {}, std::vector<std::uint8_t>* bytes = nullptr);

// Looks a local file up (by SHA-256) in the cached verified manifests, each verified again
// against today's keys: the manifest URL and build when found.
bool FindInTrustedManifests(const FirmwareSource& source, std::string_view sha256,
                            std::string& manifestUrl, ManifestBuild& build);

}  // namespace zorbent
