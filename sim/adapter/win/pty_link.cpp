#include "sim/adapter/link.h"

namespace zorbent::sim {
namespace {

// Windows has no pseudo-terminals: the simulator serves TCP alone there.
class NoPtyLink final : public Link {
 public:
  bool Open(std::string& error) override {
    error = "pseudo-terminals are not available on Windows; serve on TCP instead";
    return false;
  }
  std::string ConfigString() const override { return {}; }
  int DataFd() const override { return -1; }
  int Read(std::span<std::uint8_t>) override { return -1; }
  bool Write(std::span<const std::uint8_t>, const WakeEvent&) override { return false; }
  std::int32_t HostRate() const override { return 0; }
  void Disconnect() override {}
};

}  // namespace

std::unique_ptr<Link> MakePtyLink() {
  return std::make_unique<NoPtyLink>();
}

}  // namespace zorbent::sim
