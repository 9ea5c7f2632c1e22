#pragma once

namespace CLI {
class App;
}

namespace zorbent::cli {

// `repo init|add|publish|timestamp|rotate|revoke`: firmware published as a repository of
// signed metadata (firmware/tuf/publisher.h). Each command runs as soon as its command line is
// read and ends the process with its status: 0 done, 1 refused or failed (2, usage, as ever).
void AddRepositoryCommands(CLI::App& app);

}  // namespace zorbent::cli
