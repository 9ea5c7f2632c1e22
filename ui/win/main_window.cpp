#include "ui/win/main_window.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <utility>

#include "ui/win/resource_ids.h"

namespace zorbent::ui {
namespace {

constexpr UINT kPostedMessage = WM_APP + 1;
constexpr std::size_t kPathBufferSize = 260;
constexpr const char* kTitle = "zOrbentFwUpdater v3.5";
constexpr UINT kMarqueeStepMs = 30;  // the busy bar's pace
// What Windows shows beside the window when it holds off the end of the session.
constexpr const wchar_t* kSessionHeldReason =
    L"A firmware update is running. Ending now may leave the adapter without working firmware.";

// The close question's box, caught as it activates: the window that asks, and the hook.
thread_local HWND* t_questionBox = nullptr;
thread_local HHOOK t_questionHook = nullptr;

std::string WindowText(HWND window) {
  if (window == nullptr) return {};
  const int length = GetWindowTextLengthA(window);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int got = GetWindowTextA(window, text.data(), length + 1);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

void FillList(HWND combo, const std::vector<std::string>& items) {
  SendMessageA(combo, CB_RESETCONTENT, 0, 0);
  for (const std::string& item : items) {
    SendMessageA(combo, CB_INSERTSTRING, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(item.c_str()));
  }
}

// The opened list as wide as its longest item, so each description shows whole; the closed
// box keeps its template size. Never narrower than the box.
void WidenDroppedList(HWND combo, const std::vector<std::string>& items) {
  HDC dc = GetDC(combo);
  if (dc == nullptr) return;
  const auto font = reinterpret_cast<HFONT>(SendMessageA(combo, WM_GETFONT, 0, 0));
  const HGDIOBJ old = font != nullptr ? SelectObject(dc, font) : nullptr;
  LONG widest = 0;
  for (const std::string& item : items) {
    SIZE size{};
    if (GetTextExtentPoint32A(dc, item.c_str(), static_cast<int>(item.size()), &size))
      widest = std::max(widest, size.cx);
  }
  if (old != nullptr) SelectObject(dc, old);
  ReleaseDC(combo, dc);
  RECT box{};
  GetWindowRect(combo, &box);
  // Room for the item's margins and the list's scroll bar.
  const LONG width = widest + 2 * GetSystemMetrics(SM_CXEDGE) + GetSystemMetrics(SM_CXVSCROLL) + 8;
  SendMessageA(combo, CB_SETDROPPEDWIDTH,
               static_cast<WPARAM>(std::max(width, box.right - box.left)), 0);
}

int Selected(HWND combo) {
  const LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
  return index == CB_ERR ? -1 : static_cast<int>(index);
}

std::string ItemText(HWND combo, int index) {
  const LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR || length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const LRESULT got = SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                   reinterpret_cast<LPARAM>(text.data()));
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

}  // namespace

std::string ToEditLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  char previous = '\0';
  for (const char c : text) {
    if (c == '\n' && previous != '\r') out.push_back('\r');
    out.push_back(c);
    previous = c;
  }
  return out;
}

WinMainWindow::WinMainWindow(HINSTANCE instance, UpdateEngine& engine,
                             MainController::PortLister listPorts)
    : instance_(instance) {
  icon_ = static_cast<HICON>(LoadImageA(instance_, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                        GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                        LR_DEFAULTCOLOR));
  smallIcon_ = static_cast<HICON>(LoadImageA(instance_, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  controller_ = std::make_unique<MainController>(*this, engine, std::move(listPorts));
}

WinMainWindow::~WinMainWindow() {
  // Workers may still post: let them end while this object is whole.
  ending_ = true;
  controller_->Shutdown();
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  if (icon_ != nullptr) DestroyIcon(icon_);
  if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

INT_PTR WinMainWindow::RunModal() {
  modal_ = true;
  return DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_MAIN), nullptr, &DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

HWND WinMainWindow::CreateModeless() {
  modal_ = false;
  return CreateDialogParamA(instance_, MAKEINTRESOURCEA(IDD_MAIN), nullptr, &DialogProc,
                            reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK WinMainWindow::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<WinMainWindow*>(lParam);
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
    {
      const std::lock_guard<std::mutex> guard(self->postLock_);
      self->postTarget_ = hwnd;
    }
    self->OnInitDialog();
    return FALSE;  // the focus is set: on "Update"
  }
  auto* self = reinterpret_cast<WinMainWindow*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (self == nullptr) return FALSE;
  return self->OnMessage(message, wParam, lParam);
}

INT_PTR CALLBACK WinMainWindow::PageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    return FALSE;
  }
  auto* self = reinterpret_cast<WinMainWindow*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (self == nullptr || message != WM_COMMAND) return FALSE;
  if (LOWORD(wParam) == IDC_REFRESH && HIWORD(wParam) == BN_CLICKED) {
    if (hwnd == self->btPage_) self->controller_->OnRefresh(SerialPageId::kBt);
    if (hwnd == self->usbPage_) self->controller_->OnRefresh(SerialPageId::kUsb);
    return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK WinMainWindow::AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    ::EndDialog(hwnd, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

void WinMainWindow::OnInitDialog() {
  btPage_ = CreateDialogParamA(instance_, MAKEINTRESOURCEA(IDD_PAGE_BT), hwnd_, &PageProc,
                               reinterpret_cast<LPARAM>(this));
  usbPage_ = CreateDialogParamA(instance_, MAKEINTRESOURCEA(IDD_PAGE_USB), hwnd_, &PageProc,
                                reinterpret_cast<LPARAM>(this));
  wifiPage_ = CreateDialogParamA(instance_, MAKEINTRESOURCEA(IDD_PAGE_WIFI), hwnd_, &PageProc,
                                 reinterpret_cast<LPARAM>(this));

  if (HMENU menu = GetSystemMenu(hwnd_, FALSE)) {
    std::array<char, 256> about{};
    if (LoadStringA(instance_, IDS_ABOUTBOX, about.data(), static_cast<int>(about.size())) > 0) {
      AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about.data());
    }
  }
  SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

  // The pages share the "Comm Port" box's rectangle; at most one shows at a time.
  RECT box{};
  GetWindowRect(GetDlgItem(hwnd_, IDC_COMM_PORT), &box);
  MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&box), 2);
  // On top of the box and the other controls, as if created before them: the group box
  // would paint over a page below it.
  for (HWND page : {wifiPage_, usbPage_, btPage_}) {
    SetWindowPos(page, HWND_TOP, box.left, box.top, box.right - box.left, box.bottom - box.top,
                 SWP_NOACTIVATE | SWP_NOREDRAW);
  }
  // The edit control's default limit would silently drop the tail of a long update's output.
  SendDlgItemMessageA(hwnd_, IDC_OUTPUT, EM_SETLIMITTEXT, 0, 0);
  SendDlgItemMessageA(hwnd_, IDC_PROGRESS, PBM_SETRANGE32, 0, 100);

  controller_->Initialise();
}

INT_PTR WinMainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
        controller_->OnAbout();
        return TRUE;
      }
      return FALSE;
    case WM_PAINT:
      return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case kPostedMessage:
      RunPosted();
      return TRUE;
    case WM_QUERYENDSESSION: {
      // Log-off, restart or shutdown during an update would cut its download short: refused,
      // with the reason Windows shows, until the update has ended.
      const bool hold = controller_->UpdateRunning();
      if (hold) ShutdownBlockReasonCreate(hwnd_, kSessionHeldReason);
      SetWindowLongPtrA(hwnd_, DWLP_MSGRESULT, hold ? FALSE : TRUE);
      return TRUE;
    }
    case WM_DESTROY: {
      const std::lock_guard<std::mutex> guard(postLock_);
      postTarget_ = nullptr;
      posted_.clear();
      return FALSE;
    }
    case WM_NCDESTROY:
      hwnd_ = nullptr;
      btPage_ = usbPage_ = wifiPage_ = nullptr;
      if (!modal_ && quitOnDestroy_) PostQuitMessage(0);
      return FALSE;
    default:
      return FALSE;
  }
}

void WinMainWindow::OnCommand(int id, int code) {
  if (id == IDCANCEL) {
    if (!ending_) controller_->OnClose();
    return;
  }
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDC_BT:
      controller_->OnDeviceType(DeviceType::kBt);
      break;
    case IDC_USB:
      controller_->OnDeviceType(DeviceType::kUsb);
      break;
    case IDC_WIFI:
      controller_->OnDeviceType(DeviceType::kWifi);
      break;
    case IDC_BROWSE:
      controller_->OnBrowse();
      break;
    case IDC_LATEST:
      controller_->OnLatest();
      break;
    case IDC_UPDATE:
      controller_->OnUpdate();
      break;
    case IDC_READ:
      controller_->OnRead();
      break;
    case IDC_CLEAR:
      controller_->OnClear();
      break;
    default:  // IDOK among them: the dialog never ends through OK
      break;
  }
}

bool WinMainWindow::OnPaint() {
  if (!IsIconic(hwnd_)) return false;
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(hwnd_, &paint);
  SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client{};
  GetClientRect(hwnd_, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(hwnd_, &paint);
  return true;
}

void WinMainWindow::SelectDeviceType(DeviceType type) {
  const int id = type == DeviceType::kBt     ? IDC_BT
                 : type == DeviceType::kUsb  ? IDC_USB
                 : type == DeviceType::kWifi ? IDC_WIFI
                                             : 0;
  CheckRadioButton(hwnd_, IDC_BT, IDC_WIFI, id);
  controller_->OnDeviceType(type);
}

HWND WinMainWindow::Page(DeviceType type) const {
  switch (type) {
    case DeviceType::kBt:
      return btPage_;
    case DeviceType::kUsb:
      return usbPage_;
    case DeviceType::kWifi:
      return wifiPage_;
    default:
      return nullptr;
  }
}

HWND WinMainWindow::SerialPage(SerialPageId page) const {
  return page == SerialPageId::kBt ? btPage_ : usbPage_;
}

HWND WinMainWindow::ControlWindow(Control control) const {
  switch (control) {
    case Control::kBt:
      return GetDlgItem(hwnd_, IDC_BT);
    case Control::kUsb:
      return GetDlgItem(hwnd_, IDC_USB);
    case Control::kWifi:
      return GetDlgItem(hwnd_, IDC_WIFI);
    case Control::kPath:
      return GetDlgItem(hwnd_, IDC_PATH);
    case Control::kBrowse:
      return GetDlgItem(hwnd_, IDC_BROWSE);
    case Control::kLatest:
      return GetDlgItem(hwnd_, IDC_LATEST);
    case Control::kUpdate:
      return GetDlgItem(hwnd_, IDC_UPDATE);
    case Control::kRead:
      return GetDlgItem(hwnd_, IDC_READ);
    case Control::kBtName:
      return GetDlgItem(btPage_, IDC_PORT_NAME);
    case Control::kBtRate:
      return GetDlgItem(btPage_, IDC_BAUDRATE);
    case Control::kBtRefresh:
      return GetDlgItem(btPage_, IDC_REFRESH);
    case Control::kUsbName:
      return GetDlgItem(usbPage_, IDC_PORT_NAME);
    case Control::kUsbRate:
      return GetDlgItem(usbPage_, IDC_BAUDRATE);
    case Control::kUsbRefresh:
      return GetDlgItem(usbPage_, IDC_REFRESH);
    case Control::kWifiAddress:
      return GetDlgItem(wifiPage_, IDC_IP_ADDRESS);
    case Control::kWifiPort:
      return GetDlgItem(wifiPage_, IDC_IP_PORT);
  }
  return nullptr;
}

void WinMainWindow::SetControlEnabled(Control control, bool enabled) {
  if (HWND window = ControlWindow(control)) EnableWindow(window, enabled ? TRUE : FALSE);
}

void WinMainWindow::ShowPage(DeviceType type) {
  for (const DeviceType each : {DeviceType::kBt, DeviceType::kUsb, DeviceType::kWifi}) {
    if (HWND page = Page(each)) ShowWindow(page, each == type ? SW_SHOWNORMAL : SW_HIDE);
  }
}

DeviceType WinMainWindow::CheckedDeviceType() const {
  if (IsDlgButtonChecked(hwnd_, IDC_BT) == BST_CHECKED) return DeviceType::kBt;
  if (IsDlgButtonChecked(hwnd_, IDC_USB) == BST_CHECKED) return DeviceType::kUsb;
  if (IsDlgButtonChecked(hwnd_, IDC_WIFI) == BST_CHECKED) return DeviceType::kWifi;
  return DeviceType::kNone;
}

std::string WinMainWindow::PathText() const {
  return WindowText(GetDlgItem(hwnd_, IDC_PATH));
}

void WinMainWindow::SetPathText(const std::string& text) {
  SetDlgItemTextA(hwnd_, IDC_PATH, text.c_str());
}

void WinMainWindow::SetPortNames(SerialPageId page, const std::vector<std::string>& names) {
  HWND list = GetDlgItem(SerialPage(page), IDC_PORT_NAME);
  FillList(list, names);
  WidenDroppedList(list, names);
}

void WinMainWindow::SetRates(SerialPageId page, const std::vector<std::string>& rates) {
  FillList(GetDlgItem(SerialPage(page), IDC_BAUDRATE), rates);
}

int WinMainWindow::SelectedName(SerialPageId page) const {
  return Selected(GetDlgItem(SerialPage(page), IDC_PORT_NAME));
}

void WinMainWindow::SelectName(SerialPageId page, int index) {
  SendDlgItemMessageA(SerialPage(page), IDC_PORT_NAME, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::string WinMainWindow::NameAt(SerialPageId page, int index) const {
  return ItemText(GetDlgItem(SerialPage(page), IDC_PORT_NAME), index);
}

int WinMainWindow::SelectedRate(SerialPageId page) const {
  return Selected(GetDlgItem(SerialPage(page), IDC_BAUDRATE));
}

void WinMainWindow::SelectRate(SerialPageId page, int index) {
  SendDlgItemMessageA(SerialPage(page), IDC_BAUDRATE, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::string WinMainWindow::RateAt(SerialPageId page, int index) const {
  return ItemText(GetDlgItem(SerialPage(page), IDC_BAUDRATE), index);
}

std::string WinMainWindow::WifiAddress() const {
  return WindowText(GetDlgItem(wifiPage_, IDC_IP_ADDRESS));
}

void WinMainWindow::SetWifiAddress(const std::string& text) {
  SetDlgItemTextA(wifiPage_, IDC_IP_ADDRESS, text.c_str());
}

std::string WinMainWindow::WifiPort() const {
  return WindowText(GetDlgItem(wifiPage_, IDC_IP_PORT));
}

void WinMainWindow::SetWifiPort(const std::string& text) {
  SetDlgItemTextA(wifiPage_, IDC_IP_PORT, text.c_str());
}

void WinMainWindow::AppendOutput(const std::string& text) {
  HWND box = GetDlgItem(hwnd_, IDC_OUTPUT);
  const std::string edit = ToEditLineEnds(text);
  const int length = GetWindowTextLengthA(box);
  SendMessageA(box, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageA(box, EM_SCROLLCARET, 0, 0);
  SendMessageA(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(edit.c_str()));
  Scroll(box);
}

void WinMainWindow::ReplaceOutput(const std::string& text) {
  HWND box = GetDlgItem(hwnd_, IDC_OUTPUT);
  SetWindowTextA(box, ToEditLineEnds(text).c_str());
  Scroll(box);
}

void WinMainWindow::Scroll(HWND box) {
  // To the end, never past it: a short output stays whole in view.
  SendMessageA(box, WM_VSCROLL, SB_BOTTOM, 0);
  InvalidateRect(box, nullptr, TRUE);
  UpdateWindow(box);
}

void WinMainWindow::SetProgressBusy() {
  HWND bar = GetDlgItem(hwnd_, IDC_PROGRESS);
  SetWindowLongPtrA(bar, GWL_STYLE, GetWindowLongPtrA(bar, GWL_STYLE) | PBS_MARQUEE);
  SendMessageA(bar, PBM_SETMARQUEE, TRUE, kMarqueeStepMs);
}

void WinMainWindow::EndBusy() {
  HWND bar = GetDlgItem(hwnd_, IDC_PROGRESS);
  const LONG_PTR style = GetWindowLongPtrA(bar, GWL_STYLE);
  if ((style & PBS_MARQUEE) == 0) return;
  SendMessageA(bar, PBM_SETMARQUEE, FALSE, 0);
  SetWindowLongPtrA(bar, GWL_STYLE, style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
}

void WinMainWindow::ShowStatus(const std::string& text) {
  SetDlgItemTextA(hwnd_, IDC_STATUS, text.c_str());
}

void WinMainWindow::ResetProgress() {
  EndBusy();
  SendDlgItemMessageA(hwnd_, IDC_PROGRESS, PBM_SETSTATE, PBST_NORMAL, 0);
  SendDlgItemMessageA(hwnd_, IDC_PROGRESS, PBM_SETRANGE32, 0, 100);
  SendDlgItemMessageA(hwnd_, IDC_PROGRESS, PBM_SETSTEP, 1, 0);
  SendDlgItemMessageA(hwnd_, IDC_PROGRESS, PBM_SETPOS, 0, 0);
}

void WinMainWindow::SetProgress(int percent) {
  EndBusy();
  SendDlgItemMessageA(hwnd_, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

bool WinMainWindow::IsShown() const {
  return !ending_ && hwnd_ != nullptr && IsWindowVisible(hwnd_);
}

void WinMainWindow::FocusUpdateButton() {
  SetFocus(GetDlgItem(hwnd_, IDC_UPDATE));
}

void WinMainWindow::FocusControl(Control control) {
  if (HWND window = ControlWindow(control)) SetFocus(window);
}

std::optional<std::string> WinMainWindow::ChooseFirmwareFile() {
  std::array<char, kPathBufferSize> file{};
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = hwnd_;
  dialog.lpstrFilter = "Firmware File (*.*)\0*.*\0";
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrDefExt = "";
  dialog.Flags =
      OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_EXPLORER;
  if (!GetOpenFileNameA(&dialog)) return std::nullopt;
  return std::string(file.data());
}

LRESULT CALLBACK WinMainWindow::NoteQuestionBox(int code, WPARAM wParam, LPARAM lParam) {
  const HHOOK hook = t_questionHook;
  if (code == HCBT_ACTIVATE && t_questionBox != nullptr) {
    *t_questionBox = reinterpret_cast<HWND>(wParam);
    t_questionBox = nullptr;
  }
  return CallNextHookEx(hook, code, wParam, lParam);
}

bool WinMainWindow::ConfirmCloseWhileRunning() {
  // The box's window is caught as it opens, so that the command's end can answer it.
  t_questionBox = &closeQuestion_;
  t_questionHook = SetWindowsHookExA(WH_CBT, &NoteQuestionBox, nullptr, GetCurrentThreadId());
  const int answer = MessageBoxA(hwnd_, controller_->CloseQuestion().c_str(), kTitle,
                                 MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
  if (t_questionHook != nullptr) UnhookWindowsHookEx(t_questionHook);
  t_questionHook = nullptr;
  t_questionBox = nullptr;
  closeQuestion_ = nullptr;
  return answer == IDYES;
}

void WinMainWindow::DismissCloseQuestion() {
  if (closeQuestion_ != nullptr) SendMessageA(closeQuestion_, WM_COMMAND, IDNO, 0);
  if (hwnd_ != nullptr) ShutdownBlockReasonDestroy(hwnd_);
}

bool WinMainWindow::AskUsersWord(const std::string& question) {
  // Yes sends the adapter what a refusal held back: only a deliberate click gives it.
  return MessageBoxA(hwnd_, question.c_str(), kTitle, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) ==
         IDYES;
}

void WinMainWindow::ShowOutcome(OutcomeLook look) {
  // A failure shows the whole bar in the error colour, however far it got; an unconfirmed
  // update keeps its position, paused.
  EndBusy();
  HWND bar = GetDlgItem(hwnd_, IDC_PROGRESS);
  if (look == OutcomeLook::kFailed) SendMessageA(bar, PBM_SETPOS, 100, 0);
  const WPARAM state = look == OutcomeLook::kSucceeded ? PBST_NORMAL
                       : look == OutcomeLook::kFailed  ? PBST_ERROR
                                                       : PBST_PAUSED;
  SendMessageA(bar, PBM_SETSTATE, state, 0);
}

void WinMainWindow::ShowAbout() {
  DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_ABOUTBOX), hwnd_, &AboutProc, 0);
}

void WinMainWindow::EndDialog() {
  ending_ = true;
  if (modal_) {
    ::EndDialog(hwnd_, IDCANCEL);
  } else {
    DestroyWindow(hwnd_);
  }
}

void WinMainWindow::EndProcessNow() {
  ExitProcess(static_cast<UINT>(controller_->ExitStatus()));
}

void WinMainWindow::Post(std::function<void()> task) {
  const std::lock_guard<std::mutex> guard(postLock_);
  if (postTarget_ == nullptr) return;  // the window is gone: nothing left to tell
  posted_.push_back(std::move(task));
  // One message drains the whole queue; when a post fails the next task tries again.
  if (!wakePending_) wakePending_ = PostMessageA(postTarget_, kPostedMessage, 0, 0) != FALSE;
}

void WinMainWindow::RunPosted() {
  std::deque<std::function<void()>> tasks;
  {
    const std::lock_guard<std::mutex> guard(postLock_);
    tasks.swap(posted_);
    wakePending_ = false;
  }
  for (auto& task : tasks) {
    if (hwnd_ == nullptr) return;
    task();
  }
}

}  // namespace zorbent::ui
