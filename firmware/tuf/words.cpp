#include "firmware/tuf/words.h"

namespace zorbent::tuf {

namespace {

// "the repository's timestamp metadata", "the repository's metadata of role "ktr5577"".
std::string Subject(const std::string& role) {
  if (role.empty()) return "the repository's metadata";
  if (role == "root" || role == "timestamp" || role == "snapshot" || role == "targets")
    return "the repository's " + role + " metadata";
  return "the repository's metadata of the role \"" + role + "\"";
}

std::string Detail(const std::string& detail) {
  return detail.empty() ? std::string() : " (" + detail + ")";
}

std::string Capital(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 32);
  return text;
}

}  // namespace

std::string ProblemSentence(const Problem& problem) {
  const std::string subject = Subject(problem.role);
  // A firmware file's problems name no role.
  const std::string file =
      problem.url.empty() ? "the firmware file" : "the firmware file " + problem.url;
  switch (problem.failure) {
    case Failure::kNone:
      return "The repository's metadata is up to date and verified.";
    case Failure::kNoTrustedRoot:
      return "There is no trusted root metadata for this repository: install the program's "
             "trusted root, or name the repository's root.json to trust.";
    case Failure::kFetch:
      // The system's text usually names the address already.
      return "Cannot download " + (problem.role.empty() ? "the firmware file" : subject) +
             (problem.detail.find(problem.url) == std::string::npos ? " " + problem.url : "") +
             ": " + problem.detail;
    case Failure::kTooLarge:
      return Capital(problem.role.empty() ? file : subject + " at " + problem.url) +
             " is larger than " +
             (problem.role.empty() ? "the " + problem.detail + " bytes the repository lists"
                                   : "its limit of " + problem.detail + " bytes") +
             ", so it was not used: the server may be sending endless data. Check the "
             "repository's address, or try again later.";
    case Failure::kMalformed:
      return Capital(subject) + " is not valid" + Detail(problem.detail) +
             ", so nothing from the repository was used. Check the repository's address; "
             "if it is right, tell its publisher.";
    case Failure::kUnsigned:
      return Capital(subject) + " is not signed by enough trusted keys" + Detail(problem.detail) +
             ", so nothing from the repository was used: it may have been tampered with. "
             "Check the repository's address and tell its publisher.";
    case Failure::kRollback:
      return Capital(subject) + " is older than the version already trusted" +
             Detail(problem.detail) +
             ", so it was refused: a server may be replaying old metadata (a rollback). "
             "Try again later, or from another mirror; tell the repository's publisher if it "
             "persists.";
    case Failure::kExpired:
      return Capital(subject) + " expired" +
             (problem.detail.empty() ? "" : " at " + problem.detail) +
             ", so it was refused: the repository may be stale or held back by an attacker "
             "(a freeze). Try again later; tell the repository's publisher if it persists.";
    case Failure::kMismatch:
      return Capital(subject) + " is not the file the repository lists" + Detail(problem.detail) +
             ", so it was refused: the repository may be in the middle of a publish, or "
             "mixed with another one. Try again in a few minutes.";
    case Failure::kTargetUnknown:
      return "The repository lists no firmware file named \"" + problem.detail +
             "\". Check the name against the repository's listing.";
    case Failure::kTargetMismatch:
      return "The downloaded firmware file \"" + problem.detail +
             "\" is not the one the repository lists (its length or hash differs), so it was "
             "not used: the server or a mirror may have been tampered with. Try again later; "
             "tell the repository's publisher if it persists.";
    case Failure::kStorage:
      return "The trusted metadata could not be kept" + Detail(problem.detail) +
             ". Check the free space and the permissions of the data folder.";
  }
  return "The repository's metadata was refused.";
}

}  // namespace zorbent::tuf
