#include "cli/demo.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "cli/firmware_info.h"
#include "cli/jobs.h"
#include "sim/adapter/adapter_simulator.h"
#include "sim/image/image_builder.h"

namespace zorbent::cli {
namespace {

struct DemoAdapter {
  std::string title;
  sim::SimulatorOptions options;
  std::string fileName;
  sim::BuiltImage image;
  bool blockMode = false;
};

std::vector<DemoAdapter> Adapters() {
  std::vector<DemoAdapter> adapters;

  sim::LineImageOptions line;
  line.deviceName = "KTR5577";
  line.versionText = "V2.2.3X";
  line.records = 511;  // ~35 KB of firmware
  DemoAdapter lineAdapter;
  lineAdapter.title = "zOrbent BM adapter (line mode, USB serial)";
  lineAdapter.options.adapter.model = 2;
  lineAdapter.fileName = "zorbent-bm-2.2.3.txt";
  lineAdapter.image = sim::BuildLineImage(line);
  adapters.push_back(lineAdapter);

  sim::BlockImageOptions block;
  block.deviceName = "zOrbent FS v2.1";
  block.records = 1024;  // 64 KB of firmware
  block.recordLen = 64;
  DemoAdapter blockAdapter;
  blockAdapter.title = "zOrbent FS adapter (block mode, USB serial at 2,000,000 baud)";
  blockAdapter.options.adapter.model = 5;
  blockAdapter.options.adapter.deviceVersion = "2.0";
  blockAdapter.options.adapter.flashedVersion = "2.1";
  blockAdapter.fileName = "zorbent-fs-2.1.txt";
  blockAdapter.image = sim::BuildBlockImage(block);
  blockAdapter.blockMode = true;
  adapters.push_back(blockAdapter);

  line.deviceName = "KTR5575";
  line.versionText = "V2.2.4X";
  DemoAdapter wifi;
  wifi.title = "zOrbent MC adapter (line mode, WiFi)";
  wifi.options.adapter.model = 1;
  wifi.options.tcp = true;
  wifi.fileName = "zorbent-mc-2.2.4.txt";
  wifi.image = sim::BuildLineImage(line);
  adapters.push_back(wifi);
  return adapters;
}

void Heading(const std::string& text) {
  std::printf("\n=== %s\n", text.c_str());
}

}  // namespace

int RunDemo(bool quiet) {
  std::error_code ec;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path(ec) / ("zorbent-demo-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "demo: cannot create %s: %s\n", dir.string().c_str(),
                 ec.message().c_str());
    return 1;
  }

  std::printf("zorbent-fw demo: simulated adapters, real firmware files, the real update.\n");
  int failures = 0;
  for (DemoAdapter& adapter : Adapters()) {
    if (!adapter.image.ok()) {
      std::fprintf(stderr, "demo: cannot build %s: %s\n", adapter.fileName.c_str(),
                   adapter.image.error.c_str());
      ++failures;
      continue;
    }
    const std::filesystem::path file = dir / adapter.fileName;
    std::ofstream(file, std::ios::binary) << adapter.image.text;

    sim::AdapterSimulator simulator(adapter.options);
    std::string error;
    if (!simulator.Start(&error)) {
      std::fprintf(stderr, "demo: cannot start the simulated adapter: %s\n", error.c_str());
      ++failures;
      continue;
    }
    const std::string connection = simulator.ConfigString();
    Heading(adapter.title + " at " + connection);

    std::printf("$ zorbent-fw inspect %s\n", file.string().c_str());
    std::fflush(stdout);
    ShowFirmwareInfo(file.string());

    std::printf("\n$ zorbent-fw read --connect \"%s\"\n", connection.c_str());
    std::fflush(stdout);
    JobOptions read;
    read.connections = {connection};
    read.quiet = quiet;
    failures += RunJobs(read) != 0;

    std::printf("\n$ zorbent-fw update --connect \"%s\" %s\n", connection.c_str(),
                file.string().c_str());
    std::fflush(stdout);
    JobOptions update = read;
    update.update = true;
    update.firmwareFile = file.string();
    const int updated = RunJobs(update);
    failures += updated != 0;

    std::printf("\n$ zorbent-fw read --connect \"%s\"\n", connection.c_str());
    std::fflush(stdout);
    failures += RunJobs(read) != 0;

    const bool exact =
        sim::RecordsMatchImage(simulator.Records(), adapter.image, adapter.blockMode);
    std::printf("(simulator: %s)\n", exact ? "the adapter holds exactly the file's records"
                                           : "the adapter's records differ from the file!");
    failures += (updated == 0 && !exact);
  }
  std::filesystem::remove_all(dir, ec);
  std::printf("\n%s\n",
              failures == 0 ? "demo: every update succeeded." : "demo: some jobs failed.");
  return failures == 0 ? 0 : 1;
}

}  // namespace zorbent::cli
