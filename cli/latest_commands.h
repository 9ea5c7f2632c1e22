#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/jobs.h"
#include "cli/json_output.h"
#include "firmware/latest.h"

namespace zorbent::cli {

// What the command line says of where firmware comes from, on top of the settings.
struct SourceOptions {
  std::string repository;  // --repository URL
  std::string root;        // --root FILE
  std::string caFile;      // --ca-file PEM
  bool allowHttp = false;  // --allow-http
};

// The settings' source with the command line's on top. False with a sentence naming the
// setting that is wrong.
bool CommandLineSource(const SourceOptions& options, FirmwareSource& source, std::string& problem);

// firmware list: every build of the verified repository, per model newest first (one JSON
// object per build with kJson). 0 listed, 1 the repository refused.
int ListFirmware(const SourceOptions& options, OutputFormat format);

// update --latest, before any adapter is reached: the refreshed repository. The exit status of
// a refusal (said on text), or -1 to go on with RunLatest.
struct LatestPlan {
  std::unique_ptr<FirmwareRepository> repository;
};
int PrepareLatest(const SourceOptions& options, const JobOptions& job, LatestPlan& plan);
// Reads the adapter (read-only questions), picks its newest build, downloads and checks it,
// then runs the update on it with every check the engine makes. The exit status.
int RunLatest(const LatestPlan& plan, JobOptions job);

// update FILE: the line saying whether the file, as job.firmware holds its bytes, is a build the
// repository lists (shown on text), the repository's URL into job.repository when it is. With
// requireSigned an unlisted file is refused: false, said on text, nothing opened.
bool NoteFileSignature(const SourceOptions& options, bool requireSigned, JobOptions& job);

}  // namespace zorbent::cli
