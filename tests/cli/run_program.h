#pragma once

// Runs zorbent-fw as a child process and collects what it printed and how it ended.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zorbent::cli_test {

struct ProgramResult {
  int exitCode = -1;  // -1 when it did not exit normally (a crash)
  std::string out;
  std::string err;
  std::string both() const { return out + err; }
};

inline std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Output goes to files, not pipes, so a chatty child can never block on a full pipe. With a
// workDir the program runs there (its traffic log goes below it).
inline ProgramResult RunProgram(const std::vector<std::string>& args,
                                const std::string& workDir = "") {
  ProgramResult result;
  char outPath[] = "/tmp/zorbent-cli-out-XXXXXX";
  char errPath[] = "/tmp/zorbent-cli-err-XXXXXX";
  const int outFd = mkstemp(outPath);
  const int errFd = mkstemp(errPath);
  if (outFd < 0 || errFd < 0) return result;
  const pid_t child = fork();
  if (child == 0) {
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    std::string program = ZORBENT_FW_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outFd);
  close(errFd);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  }
  result.out = ReadFileText(outPath);
  result.err = ReadFileText(errPath);
  unlink(outPath);
  unlink(errPath);
  return result;
}

// A file in a private temporary directory, removed with it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/zorbent-cli-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Write(const std::string& name, const std::string& content) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }

 private:
  std::string path_;
};

}  // namespace zorbent::cli_test
