#include "ui/win/main_window.h"

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/sim_adapter.h"
#include "tests/support/test_repository.h"
#include "ui/win/resource_ids.h"
#include "zorbent_version.h"

namespace zorbent::ui {
namespace {

// A window's text, or its class name.
std::string Text(HWND window, bool className = false) {
  std::array<char, 512> text{};
  (className ? GetClassNameA : GetWindowTextA)(window, text.data(), static_cast<int>(text.size()));
  return text.data();
}

// A control's rectangle in its dialog's client coordinates.
RECT ClientRect(HWND control) {
  RECT r{};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

struct Layout {
  int id;
  const char* className;
  const char* text;  // null: not looked at (filled at start-up, or a list)
  RECT units;        // x, y, width, height in dialog units
};

// The child (by id, or by text for controls without one) that matches an entry.
HWND FindControl(HWND dialog, const Layout& entry) {
  if (entry.id != IDC_STATIC) return GetDlgItem(dialog, entry.id);
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT))
    if (GetDlgCtrlID(child) == IDC_STATIC && Text(child) == entry.text) return child;
  return nullptr;
}

void ExpectLayout(HWND dialog, const std::vector<Layout>& layout) {
  for (const Layout& entry : layout) {
    SCOPED_TRACE("control " + std::to_string(entry.id) + " " + (entry.text ? entry.text : ""));
    HWND control = FindControl(dialog, entry);
    ASSERT_NE(control, nullptr);
    EXPECT_STREQ(Text(control, true).c_str(), entry.className);
    if (entry.text != nullptr) {
      EXPECT_EQ(Text(control), entry.text);
    }
    // Position and size convert separately, as the dialog manager converts them.
    RECT expected = entry.units;
    MapDialogRect(dialog, &expected);
    const RECT got = ClientRect(control);
    EXPECT_EQ(got.left, expected.left);
    EXPECT_EQ(got.top, expected.top);
    EXPECT_EQ(got.right - got.left, expected.right);
    // A drop-down list's window is its closed height; its template height is the list's.
    if (std::string(entry.className) != "ComboBox") {
      EXPECT_EQ(got.bottom - got.top, expected.bottom);
    }
  }
}

// Writes what the screen shows of a window as a 24-bit BMP file.
bool SaveWindowImage(HWND window, const std::string& path) {
  RECT r{};
  GetClientRect(window, &r);  // the frame is the X window manager's, if there is one
  MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
  const LONG width = r.right - r.left;
  const LONG height = r.bottom - r.top;
  BITMAPINFOHEADER header{sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP image = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS,
                                   &bits, nullptr, 0);
  const HGDIOBJ old = SelectObject(memory, image);
  const bool copied = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) != FALSE;
  const DWORD size = static_cast<DWORD>((width * 3 + 3) & ~3) * static_cast<DWORD>(height);
  BITMAPFILEHEADER file{0x4D42, 0, 0, 0, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
  file.bfSize = file.bfOffBits + size;
  bool written = false;
  if (copied && bits != nullptr) {
    if (FILE* out = std::fopen(path.c_str(), "wb")) {
      written = std::fwrite(&file, sizeof(file), 1, out) == 1 &&
                std::fwrite(&header, sizeof(header), 1, out) == 1 &&
                std::fwrite(bits, size, 1, out) == 1;
      written = std::fclose(out) == 0 && written;
    }
  }
  SelectObject(memory, old);
  DeleteObject(image);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return written;
}

// The state the window last gave its bar: wine's bar takes PBM_SETSTATE but reports none back.
WNDPROC g_barProc = nullptr;
WPARAM g_barState = 0;
LRESULT CALLBACK RecordBarState(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == PBM_SETSTATE) g_barState = wParam;
  return CallWindowProcA(g_barProc, bar, message, wParam, lParam);
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const testing::TempFolder data;  // the window's history: never the user's
    _putenv_s("ZORBENT_FW_DATA_DIR", data.Path().c_str());
    window_ = std::make_unique<WinMainWindow>(GetModuleHandleA(nullptr), engine_,
                                              [this] { return PlainChoices(ports_); });
    hwnd_ = window_->CreateModeless();
    // Under wine without an X display no window can exist (tools/test-windows gives one).
    if (hwnd_ == nullptr && std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
    ASSERT_NE(hwnd_, nullptr);
    g_barState = 0;
    g_barProc =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrA(GetDlgItem(hwnd_, IDC_PROGRESS), GWLP_WNDPROC,
                                                    reinterpret_cast<LONG_PTR>(&RecordBarState)));
  }
  void TearDown() override { window_.reset(); }

  // Runs the window's messages until the command has ended; false when it does not in time.
  bool PumpUntilIdle() {
    return PumpUntil([this] { return Idle(); });
  }
  template <typename Condition>
  bool PumpUntil(Condition done) {
    for (int i = 0; i < 400 && !done(); ++i) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      MSG message{};
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (!IsDialogMessageA(hwnd_, &message)) {
          TranslateMessage(&message);
          DispatchMessageA(&message);
        }
      }
    }
    return done();
  }
  // The WiFi page, on the simulator's loopback port.
  void UseWifi(const std::string& port) {
    Click(hwnd_, IDC_WIFI);
    SetDlgItemTextA(Page(DeviceType::kWifi), IDC_IP_ADDRESS, "127.0.0.1");
    SetDlgItemTextA(Page(DeviceType::kWifi), IDC_IP_PORT, port.c_str());
  }
  // Clicks a button whose command asks a question, answered with word (g_question, g_noIsDefault
  // keep what the box showed); false when the command does not end in time.
  bool ClickAnswering(int id, int word);
  std::string Status() const { return Text(GetDlgItem(hwnd_, IDC_STATUS)); }
  bool Busy() const {
    return (GetWindowLongA(GetDlgItem(hwnd_, IDC_PROGRESS), GWL_STYLE) & PBS_MARQUEE) != 0;
  }
  // ZORBENT_SCREENSHOTS=DIR keeps the window as it shows now, as DIR/win-NAME.bmp.
  void Shot(const char* name) const {
    const char* dir = std::getenv("ZORBENT_SCREENSHOTS");
    if (dir != nullptr) {
      // Every pending paint first: wine draws through the X server, which lags a little.
      RedrawWindow(hwnd_, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
      for (int i = 0; i < 10; ++i) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message{};
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
      }
      EXPECT_TRUE(SaveWindowImage(hwnd_, std::string(dir) + "/win-" + name + ".bmp"));
    }
  }
  void Click(HWND parent, int id) { SendMessageA(GetDlgItem(parent, id), BM_CLICK, 0, 0); }
  HWND Page(DeviceType type) const { return window_->Page(type); }
  bool Idle() const { return IsWindowEnabled(GetDlgItem(hwnd_, IDC_UPDATE)) != FALSE; }
  std::string Output() const {
    HWND box = GetDlgItem(hwnd_, IDC_OUTPUT);
    std::string all(static_cast<std::size_t>(GetWindowTextLengthA(box)) + 1, '\0');
    all.resize(
        static_cast<std::size_t>(GetWindowTextA(box, all.data(), static_cast<int>(all.size()))));
    return all;
  }

  std::vector<std::string> ports_{"COM3", "COM12"};
  UpdateEngine engine_;
  std::unique_ptr<WinMainWindow> window_;
  HWND hwnd_ = nullptr;
};

TEST_F(WindowTest, MainWindowAndPagesAreLaidOutAsTheirTemplates) {
  EXPECT_EQ(Text(hwnd_), "zOrbentFwUpdater v3.5");
  const LONG frame = WS_MINIMIZEBOX | WS_SYSMENU | WS_THICKFRAME | WS_MAXIMIZEBOX;
  EXPECT_EQ(GetWindowLongA(hwnd_, GWL_STYLE) & frame, WS_MINIMIZEBOX | WS_SYSMENU);  // fixed size
  EXPECT_TRUE(GetWindowLongA(hwnd_, GWL_EXSTYLE) & WS_EX_APPWINDOW);
  ExpectLayout(hwnd_, {
                          {IDC_STATIC, "Button", "Device Type", {10, 10, 65, 65}},
                          {IDC_BT, "Button", "BT", {20, 25, 24, 10}},
                          {IDC_USB, "Button", "USB", {20, 40, 28, 10}},
                          {IDC_WIFI, "Button", "WIFI", {20, 55, 32, 10}},
                          {IDC_COMM_PORT, "Button", "Comm Port", {85, 10, 115, 65}},
                          {IDC_STATIC, "Button", "Firmware", {10, 85, 190, 60}},
                          {IDC_STATIC, "Static", "Path:", {20, 100, 21, 8}},
                          {IDC_PATH, "Edit", "", {45, 100, 145, 14}},
                          {IDC_LATEST, "Button", "Latest...", {85, 120, 50, 14}},
                          {IDC_BROWSE, "Button", "Browse...", {140, 120, 50, 14}},
                          {IDC_UPDATE, "Button", "Update", {75, 155, 60, 30}},
                          {IDC_STATIC, "Button", "Output:", {210, 10, 240, 165}},
                          {IDC_OUTPUT, "Edit", "", {220, 25, 220, 120}},
                          {IDC_CLEAR, "Button", "Clear", {390, 150, 50, 14}},
                          {IDC_PROGRESS, PROGRESS_CLASSA, "", {210, 180, 240, 6}},
                          {IDC_READ, "Button", "Read", {220, 150, 50, 14}},
                          {IDC_STATUS, "Static", "", {210, 190, 240, 10}},
                      });
  EXPECT_EQ(GetWindowLongA(GetDlgItem(hwnd_, IDC_UPDATE), GWL_STYLE) & 0x0F, BS_DEFPUSHBUTTON);
  const LONG output = GetWindowLongA(GetDlgItem(hwnd_, IDC_OUTPUT), GWL_STYLE);
  EXPECT_TRUE(output & ES_MULTILINE);
  EXPECT_FALSE(output & (ES_AUTOHSCROLL | WS_HSCROLL));  // a long verdict wraps, seen whole

  const std::vector<Layout> serial = {
      {IDC_STATIC, "Static", "Name:", {10, 10, 22, 8}},
      {IDC_PORT_NAME, "ComboBox", nullptr, {35, 10, 70, 80}},
      {IDC_STATIC, "Static", "Baudrate:", {10, 25, 32, 8}},
      {IDC_BAUDRATE, "ComboBox", nullptr, {45, 25, 60, 80}},
      {IDC_REFRESH, "Button", "Refresh", {55, 40, 50, 14}},
  };
  ExpectLayout(Page(DeviceType::kBt), serial);
  ExpectLayout(Page(DeviceType::kUsb), serial);
  ExpectLayout(Page(DeviceType::kWifi), {
                                            {IDC_STATIC, "Static", "IP Address:", {10, 10, 37, 8}},
                                            {IDC_IP_ADDRESS, "Edit", nullptr, {10, 20, 95, 14}},
                                            {IDC_STATIC, "Static", "IP Port:", {10, 40, 24, 8}},
                                            {IDC_IP_PORT, "Edit", nullptr, {40, 40, 65, 14}},
                                        });
  // Every page covers exactly the "Comm Port" box.
  const RECT box = ClientRect(GetDlgItem(hwnd_, IDC_COMM_PORT));
  for (const DeviceType type : {DeviceType::kBt, DeviceType::kUsb, DeviceType::kWifi}) {
    const RECT page = ClientRect(Page(type));
    EXPECT_TRUE(EqualRect(&page, &box));
    EXPECT_TRUE(GetWindowLongA(Page(type), GWL_STYLE) & WS_CHILD);
    EXPECT_FALSE(IsWindowVisible(Page(type)));  // none until a device type is chosen
  }
  // The lists as the controller filled them (what it fills is a case of the Qt window's test).
  for (const DeviceType type : {DeviceType::kBt, DeviceType::kUsb}) {
    EXPECT_EQ(SendDlgItemMessageA(Page(type), IDC_PORT_NAME, CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(SendDlgItemMessageA(Page(type), IDC_PORT_NAME, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(SendDlgItemMessageA(Page(type), IDC_BAUDRATE, CB_GETCOUNT, 0, 0), 13);
    EXPECT_EQ(SendDlgItemMessageA(Page(type), IDC_BAUDRATE, CB_GETCURSEL, 0, 0), 4);
  }
}

// Reads the About box and closes it, from a timer that the box's own modal loop runs.
HWND g_about = nullptr;
std::string g_aboutTexts;
void CALLBACK CloseAbout(HWND, UINT, UINT_PTR timer, DWORD) {
  g_about = FindWindowA(nullptr, "About zOrbentFwUpdater");
  if (g_about == nullptr) return;
  KillTimer(nullptr, timer);
  for (HWND child = GetWindow(g_about, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    const bool icon = (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
    g_aboutTexts += (Text(child, true) == "Static" && icon ? "<icon>" : Text(child)) + "|";
  }
  SendMessageA(g_about, WM_COMMAND, IDCANCEL, 0);
}

TEST_F(WindowTest, SystemMenuCarriesTheAboutItemThatOpensTheAboutBox) {
  HMENU menu = GetSystemMenu(hwnd_, FALSE);
  ASSERT_NE(menu, nullptr);
  std::array<char, 128> item{};
  ASSERT_GT(
      GetMenuStringA(menu, IDM_ABOUTBOX, item.data(), static_cast<int>(item.size()), MF_BYCOMMAND),
      0);
  EXPECT_STREQ(item.data(), "&About zOrbentFwUpdater...");
  const int count = GetMenuItemCount(menu);
  EXPECT_EQ(GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
  EXPECT_EQ(GetMenuState(menu, static_cast<UINT>(count - 2), MF_BYPOSITION) & MF_SEPARATOR,
            static_cast<UINT>(MF_SEPARATOR));

  const UINT_PTR timer = SetTimer(nullptr, 0, 20, &CloseAbout);
  ASSERT_NE(timer, 0u);
  SendMessageA(hwnd_, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);  // returns when the box has closed
  EXPECT_NE(g_about, nullptr);
  EXPECT_EQ(g_aboutTexts, "<icon>|zOrbentFwUpdater v3.5|Version " ZORBENT_VERSION "|OK|");
  EXPECT_TRUE(IsWindowVisible(hwnd_));
}

TEST(VersionResource, CarriesTheProgramsVersionAndNames) {
  std::array<char, MAX_PATH> exe{};
  ASSERT_GT(GetModuleFileNameA(nullptr, exe.data(), static_cast<DWORD>(exe.size())), 0u);
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(exe.data(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(exe.data(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);

  const auto value = [&](const char* name) {
    char* text = nullptr;
    UINT n = 0;
    const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&text), &n))
      return std::string("<missing>");
    return n == 0 ? std::string() : std::string(text);
  };
  EXPECT_EQ(value("InternalName"), "zOrbentFwUpdater v3.5");
  EXPECT_EQ(value("OriginalFilename"), "zOrbentFwUpdater v3.5.EXE");
  EXPECT_EQ(value("ProductName"), "zOrbentFwUpdater Application");
  EXPECT_EQ(value("FileVersion"), "1, 0, 0, 1");
  EXPECT_EQ(value("ProductVersion"), "1, 0, 0, 1");
  EXPECT_EQ(value("LegalCopyright"),
            "Copyright (c) 2026 the zOrbentFwUpdater developers. MIT License.");
  for (const char* empty :
       {"CompanyName", "Comments", "LegalTrademarks", "PrivateBuild", "SpecialBuild"})
    EXPECT_EQ(value(empty), "") << empty;

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_GE(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 1200);
}

// Updates through the WiFi page: the worker's reports reach the window's thread, the output
// box gets Windows line ends and the window's verdict last, the bar 100 in the look of the
// outcome, and the controls come back.
TEST_F(WindowTest, UpdateThroughTheWindowReachesTheSimulatedAdapter) {
  for (const bool confirmed : {true, false}) {
    SCOPED_TRACE(confirmed);
    const int model = confirmed ? 1 : 5;
    sim::SimulatorOptions options = test::AdapterModel(model, true);
    if (!confirmed) options.adapter.flashedVersion = "2.1.9";
    test::RunningAdapter adapter(options);
    testing::FirmwareFile file(test::NewerImage(model).text);
    UseWifi(adapter.Port());
    SetDlgItemTextA(hwnd_, IDC_PATH, file.Path().c_str());
    // The end of the session waits while the update runs, and only then.
    EXPECT_TRUE(SendMessageA(hwnd_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    Click(hwnd_, IDC_UPDATE);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(Page(DeviceType::kWifi), IDC_IP_PORT)));
    EXPECT_FALSE(SendMessageA(hwnd_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    ASSERT_TRUE(PumpUntilIdle());
    EXPECT_TRUE(SendMessageA(hwnd_, WM_QUERYENDSESSION, 0, 0));

    const std::string all = Output();
    EXPECT_TRUE(all.starts_with("Connecting to 127.0.0.1:")) << all;
    EXPECT_NE(all.find(confirmed ? "\r\nUpdate succeeded: " : "\r\nUpdate not confirmed: "),
              std::string::npos)
        << all;
    EXPECT_TRUE(all.ends_with(confirmed ? " s\r\n" : "; press Read to check.\r\n")) << all;
    EXPECT_EQ(ToEditLineEnds(all), all);  // no bare "\n" reached the edit control
    EXPECT_EQ(SendDlgItemMessageA(hwnd_, IDC_PROGRESS, PBM_GETPOS, 0, 0), 100);
    EXPECT_EQ(g_barState, confirmed ? PBST_NORMAL : PBST_PAUSED);
    EXPECT_EQ(Status(), "Sending the firmware: 100%");
    EXPECT_FALSE(Busy());
    EXPECT_EQ(adapter->Flashes(), 1);
    if (confirmed) Shot("success");
  }
}

// Update without what it needs, or with a bad file, says what is missing, puts the focus there
// and opens no port; an opened port list is as wide as its longest description.
TEST_F(WindowTest, MissingInputOrABadFileIsRefusedBeforeAnyPortOpens) {
  test::RunningAdapter adapter(test::AdapterModel(1, true));
  std::string bad = test::NewerImage(1).text;
  bad[bad.find('\n') + 6] ^= 1;  // a digit of line 2 changes: its check byte no longer fits
  const testing::FirmwareFile wrong(bad);
  const struct {
    int page;  // the device type clicked first, 0 for none
    std::string address, path, said;
    HWND focus;
  } cases[] = {
      {0, "", "", "Choose how the adapter is connected: BT, USB or WIFI.\r\n",
       GetDlgItem(hwnd_, IDC_BT)},
      {IDC_WIFI, "", "", "Enter the adapter's IP address.\r\n",
       GetDlgItem(Page(DeviceType::kWifi), IDC_IP_ADDRESS)},
      {IDC_WIFI, "127.0.0.1", "", "Choose the firmware file: press Browse... or type its path.\r\n",
       GetDlgItem(hwnd_, IDC_PATH)},
      {IDC_WIFI, "127.0.0.1", wrong.Path(),
       wrong.Path() + " is not a valid firmware file: line 2: ", GetDlgItem(hwnd_, IDC_PATH)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    Click(hwnd_, IDC_CLEAR);
    if (c.page != 0) Click(hwnd_, c.page);
    SetDlgItemTextA(Page(DeviceType::kWifi), IDC_IP_ADDRESS, c.address.c_str());
    SetDlgItemTextA(Page(DeviceType::kWifi), IDC_IP_PORT, adapter.Port().c_str());
    SetDlgItemTextA(hwnd_, IDC_PATH, c.path.c_str());
    SetFocus(GetDlgItem(hwnd_, IDC_READ));
    Click(hwnd_, IDC_UPDATE);
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(Output().starts_with(c.said)) << Output();
    EXPECT_EQ(GetFocus(), c.focus);
  }
  Shot("refused-file");
  EXPECT_EQ(adapter->CommandCount(), 0);

  ports_ = {"COM3", "COM7 \xe2\x80\x94 USB Serial Port (a bridge with a long description)"};
  Click(Page(DeviceType::kUsb), IDC_REFRESH);
  HWND list = GetDlgItem(Page(DeviceType::kUsb), IDC_PORT_NAME);
  RECT box{};
  GetWindowRect(list, &box);
  EXPECT_GT(SendMessageA(list, CB_GETDROPPEDWIDTH, 0, 0), box.right - box.left);
}

// Answers the question box from a timer its own modal loop runs, keeping its text and default.
// With g_word 0 it leaves the box open for the command's end to answer, and answers No itself
// only after kQuestionBoundMs, so that a box left open fails the test instead of hanging it.
constexpr UINT kQuestionBoundMs = 20000;
HWND g_owner = nullptr;
HWND g_box = nullptr;
UINT_PTR g_bound = 0;
bool g_boundAnswered = false;
int g_word = IDNO;
std::string g_question;
bool g_noIsDefault = false;
void CALLBACK AnswerQuestion(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND w, LPARAM found) {
        if (GetWindow(w, GW_OWNER) != g_owner || !IsWindowVisible(w)) return TRUE;
        *reinterpret_cast<HWND*>(found) = w;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&box));
  if (box == nullptr) return;
  KillTimer(nullptr, timer);
  std::array<char, 1024> text{};
  GetDlgItemTextA(box, 0xFFFF, text.data(), static_cast<int>(text.size()));  // the message
  g_question = text.data();
  g_noIsDefault = (GetWindowLongA(GetDlgItem(box, IDNO), GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON;
  g_box = box;
  if (g_word != 0) {
    SendMessageA(box, WM_COMMAND, static_cast<WPARAM>(g_word), 0);
    return;
  }
  g_bound = SetTimer(nullptr, 0, kQuestionBoundMs, [](HWND, UINT, UINT_PTR bound, DWORD) {
    KillTimer(nullptr, bound);
    g_boundAnswered = IsWindow(g_box) != FALSE;
    if (g_boundAnswered) SendMessageA(g_box, WM_COMMAND, IDNO, 0);
  });
}

bool WindowTest::ClickAnswering(int id, int word) {
  g_owner = hwnd_;
  g_word = word;
  g_question.clear();
  g_noIsDefault = false;
  const UINT_PTR timer = SetTimer(nullptr, 0, 20, &AnswerQuestion);
  Click(hwnd_, id);
  const bool ended = PumpUntilIdle();
  KillTimer(nullptr, timer);
  return ended;
}

// Closing during a Read of a silent adapter asks a question that names the Read; the Read's
// end takes the question away, the window stays, and the bar shows the failure.
TEST_F(WindowTest, CloseQuestionNamesTheCommandAndGoesWhenItEnds) {
  sim::SimulatorOptions options = test::AdapterModel(2, true);
  options.link.silent = true;
  test::RunningAdapter silent(options);
  UseWifi(silent.Port());
  Click(hwnd_, IDC_READ);
  ASSERT_FALSE(Idle());
  // Nothing looks frozen: the bar is busy and the line under it says what for, how long at most.
  EXPECT_TRUE(PumpUntil([this] {
    return Status().starts_with("Waiting for the adapter's answer to ");
  })) << Status();
  EXPECT_TRUE(Status().ends_with(" (2 s) ...")) << Status();
  EXPECT_TRUE(Busy());
  Shot("waiting");
  g_owner = hwnd_;
  g_word = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 20, &AnswerQuestion);
  SendMessageA(hwnd_, WM_COMMAND, IDCANCEL, 0);  // returns when the question has gone
  KillTimer(nullptr, timer);
  KillTimer(nullptr, g_bound);
  EXPECT_FALSE(g_boundAnswered);  // the Read's end answered it
  EXPECT_EQ(g_question, "A version read (Read) is running. Closing now ends it. Close anyway?");
  EXPECT_TRUE(g_noIsDefault);
  EXPECT_TRUE(Idle());
  EXPECT_TRUE(IsWindowVisible(hwnd_));
  EXPECT_TRUE(
      Output().ends_with("\r\nRead failed: the adapter did not answer. Nothing was sent "
                         "that changes the adapter. Check that the adapter is on, that "
                         "this computer is on its WiFi network, and the IP Address and "
                         "IP Port fields.\r\n"))
      << Output();
  EXPECT_EQ(g_barState, PBST_ERROR);
  EXPECT_EQ(SendDlgItemMessageA(hwnd_, IDC_PROGRESS, PBM_GETPOS, 0, 0), 100);
  EXPECT_FALSE(Busy());
  EXPECT_EQ(Status(), "");
  Shot("failure");
}

// An Update that needs the user's word asks, No by default, and only Yes sends the download: an
// older file is asked about before anything changes the adapter, an adapter that did not
// identify itself after the refusal.
TEST_F(WindowTest, UpdatesThatNeedTheUsersWordAskAndOnlyYesSendsTheDownload) {
  for (const bool older : {false, true}) {
    for (const int word : {IDNO, IDYES}) {
      SCOPED_TRACE(std::to_string(older) + " " + std::to_string(word));
      sim::SimulatorOptions options = test::AdapterModel(2, true);
      options.adapter.startInDownloadMode = !older;
      if (older) options.adapter.deviceVersion = "2.2.40";
      test::RunningAdapter adapter(options);
      testing::FirmwareFile file(test::NewerImage(2).text);
      UseWifi(adapter.Port());
      SetDlgItemTextA(hwnd_, IDC_PATH, file.Path().c_str());
      ASSERT_TRUE(ClickAnswering(IDC_UPDATE, word));
      EXPECT_TRUE(g_question.starts_with(
          older ? "The file holds v2.2.3X, older than the adapter's firmware v2.2.40. Install "
                  "the older firmware anyway?"
                : "The adapter did not identify itself (it answered \"zOrbent boot loader\" to "
                  "ATI). If it is a KTR5577 "))
          << g_question;
      EXPECT_TRUE(g_noIsDefault);
      const sim::AdapterSimulator& simulator = *adapter.operator->();
      EXPECT_EQ(testing::FirstOf(simulator, testing::kDownloadCommands) >= 0, word == IDYES);
      EXPECT_EQ(adapter->Flashes(), word == IDYES ? 1 : 0);
    }
  }
}

// Latest after a Read: the newest build the trusted repository lists is offered (No by default),
// and Yes fetches and checks it into the Path field, from which Update installs it.
TEST_F(WindowTest, LatestFetchesTheNewestSignedBuildIntoThePathField) {
  test::ConfiguredRepository dir;
  dir->Add("KTR5575.txt", test::NewerImage(1).text);
  dir->Publish();
  test::RunningAdapter adapter(test::AdapterModel(1, true));
  UseWifi(adapter.Port());
  Click(hwnd_, IDC_READ);
  ASSERT_TRUE(PumpUntilIdle());
  ASSERT_TRUE(ClickAnswering(IDC_LATEST, IDYES));
  EXPECT_TRUE(g_question.starts_with(
      "The newest firmware for KTR5575 is v2.2.3X; the adapter runs v2.2.2X."))
      << g_question;
  EXPECT_TRUE(g_noIsDefault);
  std::array<char, 1024> path{};
  GetDlgItemTextA(hwnd_, IDC_PATH, path.data(), static_cast<int>(path.size()));
  EXPECT_TRUE(std::string(path.data()).starts_with(dir.Path())) << path.data() << Output();
  Shot("latest");
  Click(hwnd_, IDC_UPDATE);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_NE(Output().find("Update succeeded: KTR5575 (zOrbent MC) v2.2.2X -> v2.2.3X"),
            std::string::npos)
      << Output();
}

TEST_F(WindowTest, ClosingWhileIdleEndsTheWindowAndRaisesTheStopRequest) {
  SendMessageA(hwnd_, WM_COMMAND, IDOK, 0);  // OK never ends the dialog
  EXPECT_TRUE(IsWindow(hwnd_));
  SendMessageA(hwnd_, WM_COMMAND, IDCANCEL, 0);
  EXPECT_FALSE(IsWindow(hwnd_));
  EXPECT_EQ(window_->Window(), nullptr);
  EXPECT_EQ(ProcessStopSignal().Level(), StopLevel::kNow);
}

}  // namespace
}  // namespace zorbent::ui
