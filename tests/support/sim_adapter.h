#pragma once

// A running simulated adapter for tests that drive a whole program, and its firmware files.

#include <gtest/gtest.h>

#include "tests/support/sim_job.h"

namespace zorbent::test {

// A simulator of the model whose firmware is older than NewerImage's; always TCP on Windows.
inline sim::SimulatorOptions AdapterModel(int model, bool tcp = false) {
  sim::SimulatorOptions options = testing::AdapterOf(model);
  options.tcp = options.tcp || tcp;
  return options;
}

// A small valid file for the model (line mode 0..4, block mode 5 and 6).
inline sim::BuiltImage NewerImage(int model, int records = 9) {
  return testing::ImageFor(model, records);
}

// Started at construction; the test fails when it cannot start.
class RunningAdapter {
 public:
  explicit RunningAdapter(sim::SimulatorOptions options) : sim_(std::move(options)) {
    std::string error;
    EXPECT_TRUE(sim_.Start(&error)) << error;
  }
  sim::AdapterSimulator* operator->() { return &sim_; }
  std::string Config() const { return sim_.ConfigString(); }
  // "com|/dev/pts/N:115200" -> "/dev/pts/N"; "tcp|127.0.0.1:PORT" -> "127.0.0.1".
  std::string Device() const {
    const std::string c = Config();
    return c.substr(4, c.rfind(':') - 4);
  }
  std::string Port() const { return Config().substr(Config().rfind(':') + 1); }

 private:
  sim::AdapterSimulator sim_;
};

}  // namespace zorbent::test
