// A port's facts as each front end words them: the engine's line, the command line's advice
// and the window's.

#include "cli/port_advice.h"

#include <gtest/gtest.h>

#include "engine/port_line.h"
#if ZORBENT_HAVE_UI
#include "ui/port_advice.h"
#endif

namespace zorbent {
namespace {

using P = PortFacts::Problem;

PortFacts Facts(P problem, const std::string& device, bool tcp = false) {
  PortFacts f;
  f.problem = problem;
  f.device = device;
  f.tcp = tcp;
  f.rate = tcp ? 0 : 115200;
  f.attempts = 3;
  return f;
}

TEST(PortAdvice, EachProblemIsWordedByEachFrontEnd) {
  PortFacts timedOut = Facts(P::kTimedOut, "192.168.0.10:35000", true);
  timedOut.attemptLimitMs = 3000;
  timedOut.waitedMs = 9000;
  PortFacts busy = Facts(P::kBusy, "/dev/ttyUSB0");
  busy.holder = "minicom (pid 4242)";
  PortFacts joinable = Facts(P::kNoPermission, "/dev/ttyUSB0");
  joinable.group = "dialout";
  joinable.groupMayUse = true;
  PortFacts ownerOnly = joinable;
  ownerOnly.groupMayUse = false;
  PortFacts fast = Facts(P::kRateRefused, "/dev/ttyUSB0");
  fast.rate = 2000000;
  PortFacts silentName = Facts(P::kHostUnknown, "obd.local:35000", true);
  silentName.nameServiceSilent = true;
  silentName.waitedMs = 3000;
  PortFacts io = Facts(P::kOther, "/dev/ttyS0");
  io.systemText = "Input/output error";
  std::vector<SerialPortInfo> present(2);
  present[0].name = "ttyUSB0";
  present[1].name = "rfcomm0";
  struct Row {
    PortFacts facts;
    std::vector<SerialPortInfo> present;
    std::string engine, cli, ui;
  };
  const std::string ports = "(`zorbent-fw ports` lists the serial devices).";
  const std::string plug =
      "Plug in the adapter (pair a Bluetooth adapter with this computer "
      "first), press Refresh and choose it in the Name list.";
  const std::string close = "Close the program holding it, then try again.";
  const std::string wifi = "Join the adapter's WiFi network first";
  // clang-format off
  const Row rows[] = {
      {Facts(P::kNoSuchDevice, "/dev/ttyUSB9"), present, "/dev/ttyUSB9: no such device.",
       "Serial devices here: ttyUSB0, rfcomm0 " + ports, plug},
      {Facts(P::kNoSuchDevice, "/dev/rfcomm2"), {}, "/dev/rfcomm2: no such device.",
       "A Bluetooth adapter must be paired and bound first: `sudo rfcomm bind 2 ADDRESS` makes "
       "/dev/rfcomm2.", plug},
      {Facts(P::kNoSuchDevice, "/dev/ttyUSB9"), {}, "/dev/ttyUSB9: no such device.",
       "No serial device is present: plug in the adapter (a Bluetooth adapter must be paired "
       "and bound first, e.g. `sudo rfcomm bind 0 ADDRESS`).", plug},
      {busy, {}, "/dev/ttyUSB0: in use by another program (minicom (pid 4242)).", close, close},
      {joinable, {}, "/dev/ttyUSB0: permission denied; members of group dialout may open it.",
       "Join group dialout: `sudo usermod -aG dialout $USER`, then log out and in again so the "
       "new group counts.",
       "This user may not open it: join group dialout (it counts from the next login), then try "
       "again."},
      {ownerOnly, {}, "/dev/ttyUSB0: permission denied; only its owner may open it.",
       "Ask for access to it (a udev rule giving it to group dialout) or use another device " +
           ports,
       "Only its owner may open it: ask for access to it, or choose another device in the Name "
       "list."},
      {Facts(P::kNotSerial, "/dev/null"), {}, "/dev/null: not a serial device.",
       "Name the adapter's device instead " + ports,
       "Choose the adapter's device in the Name list (Refresh lists the devices present)."},
      {fast, {}, "/dev/ttyUSB0: did not take the line settings at 2000000 baud.",
       "Try another rate than 2000000 baud (--baud, or the rate in --connect), or another "
       "device " + ports,
       "Choose another rate than 2000000 in the Baudrate list, or another device in the Name "
       "list."},
      {io, {}, "/dev/ttyS0: Input/output error.", "Check the adapter and its cable " + ports,
       "Check the adapter and its cable, press Refresh and choose it in the Name list."},
      {timedOut, {}, "192.168.0.10:35000: no answer within 3 s (3 attempts, 9 s in all).",
       wifi + ", then check the address (192.168.0.10 for most WiFi adapters).",
       wifi + ", then check the IP Address field (192.168.0.10 for most WiFi adapters)."},
      {Facts(P::kRefused, "192.168.0.10:3500", true), {}, "192.168.0.10:3500: connection refused.",
       "Nothing listens on port 3500 there: check the address and port (35000 for most WiFi "
       "adapters).",
       "Nothing listens on that port there: check the IP Address and IP Port fields (port 35000 "
       "for most WiFi adapters)."},
      {silentName, {},
       "obd.local:35000: host not found (no answer from the name service within 3 s).",
       "Check the name, or give the adapter's address (192.168.0.10 for most WiFi adapters).",
       "Check the IP Address field: give the adapter's address (192.168.0.10 for most WiFi "
       "adapters)."},
      {Facts(P::kUnreachable, "10.0.0.9:35000", true), {}, "10.0.0.9:35000: network unreachable.",
       wifi + ".", wifi + "."},
      {Facts(P::kOther, "10.0.0.9:35000", true), {}, "10.0.0.9:35000: the connection failed.",
       wifi + ", then check the address and port (192.168.0.10 and 35000 for most WiFi adapters).",
       wifi + ", then check the IP Address and IP Port fields."},
      {PortFacts{}, {}, "The port could not be opened.", "", ""}};
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.engine);
    EXPECT_EQ(PortFactsLine(row.facts), row.engine);
    const std::string cli = cli::PortAdvice(row.facts, row.present);
    EXPECT_EQ(cli, row.cli);
    // Network problems get network advice: no rate, no probing of serial devices.
    for (const char* word : {"baud", "detect", "115200", "`"}) {
      if (row.facts.tcp || (row.facts.rate != 115200 && word[0] == '1')) {
        EXPECT_EQ(cli.find(word), cli.npos) << word;
      }
    }
#if ZORBENT_HAVE_UI
    const std::string ui = ui::PortAdvice(row.facts);
    EXPECT_EQ(ui, row.ui);
    for (const char* word : {"`", "sudo", "zorbent-fw", "--", "$", "rfcomm", "usermod", "detect"})
      EXPECT_EQ(ui.find(word), ui.npos) << word;
    if (row.facts.tcp) {
      EXPECT_EQ(ui.find("aud"), ui.npos);
    }
#endif
  }
  EXPECT_EQ(cli::PortAdvice(Facts(P::kNoSuchDevice, "")).rfind("Name the adapter's device", 0), 0u);
}

}  // namespace
}  // namespace zorbent
