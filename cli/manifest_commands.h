#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zorbent::cli {

struct ManifestMakeOptions {
  std::string folder;  // the firmware files
  std::string key;     // PEM private key to sign with
  std::string output;  // the manifest; its signature goes beside it
  std::string publisher;
  std::string product;
};

// `manifest make`: checks every firmware file of the folder, writes the manifest and its
// detached signature (each to a temporary file first, so a failed run leaves neither half
// written) and prints a line per build. 0 written, 1 refused (nothing written).
int MakeManifest(const ManifestMakeOptions& options, std::FILE* out = stdout);

// `manifest verify`: the signature against the trusted public keys, the manifest's form, and
// each build's file where it is present beside the manifest. 0 only when all of it checks.
int VerifyManifest(const std::string& manifestPath, const std::vector<std::string>& trustedKeys,
                   std::FILE* out = stdout);

}  // namespace zorbent::cli
