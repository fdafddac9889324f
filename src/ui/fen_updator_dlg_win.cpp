// The main dialog and the About box in Win32 terms.
#include "ui/fen_updator_dlg_win.h"

#include <commctrl.h>

#include <memory>
#include <vector>

#include "engine/resource.h"
#include "ui/system_menu_win.h"

// windows.h names the string loader after the character set.
#undef LoadString
#include "engine/string_table.h"

namespace fen {

namespace {

// Tells the window thread that calls are waiting in the dialog's own queue. The message
// carries nothing: any program can post any message to the window, and one that posts this
// only makes the dialog run what it queued itself a little early.
UINT RunPostedCallsMessage() {
  static const UINT message = ::RegisterWindowMessageW(L"fenupdator.RunPostedCalls");
  return message;
}

constexpr int kAllControls[] = {IDOK,         IDCANCEL,        IDC_MIDI_IN_LIST,  IDC_MIDI_OUT_LIST,
                                IDC_PROGRESS, IDC_STATUS_LINE, IDC_RESCAN_DEVICE, IDC_STEP_COUNTER};

}  // namespace

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n,
                        nullptr, nullptr);
  return narrow;
}

CFenUpdatorDlgWin::CFenUpdatorDlgWin(HINSTANCE instance, DialogModel::Options options)
    : instance_(instance),
      placeholder_firmware_(options.placeholder_firmware),
      model_(*this, std::move(options)) {
  big_icon_ = static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                              IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                                              ::GetSystemMetrics(SM_CYICON), 0));
  small_icon_ = static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                ::GetSystemMetrics(SM_CYSMICON), 0));
}

CFenUpdatorDlgWin::~CFenUpdatorDlgWin() {
  model_.OnClose();
  if (big_icon_ != nullptr) ::DestroyIcon(big_icon_);
  if (small_icon_ != nullptr) ::DestroyIcon(small_icon_);
}

INT_PTR CFenUpdatorDlgWin::DoModal() {
  window_thread_ = ::GetCurrentThreadId();
  return ::DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_FENUPDATOR_DIALOG), nullptr,
                           &CFenUpdatorDlgWin::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CFenUpdatorDlgWin::DialogProc(HWND window, UINT message, WPARAM wparam,
                                               LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CFenUpdatorDlgWin*>(lparam);
    ::SetWindowLongPtrW(window, DWLP_USER, lparam);
    self->window_ = window;
    return self->OnInitDialog();
  }
  auto* self = reinterpret_cast<CFenUpdatorDlgWin*>(::GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  return self->OnMessage(message, wparam, lparam);
}

BOOL CFenUpdatorDlgWin::OnInitDialog() {
  // The About item, when string 101 is not empty.
  AppendAboutItem(window_, Widen(LoadString(IDS_ABOUTBOX)));
  ::SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big_icon_));
  ::SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_));
  // The lists, the timer, the range, the title and the focus on "Execute".
  model_.Initialise();
  return FALSE;  // the focus is set
}

INT_PTR CFenUpdatorDlgWin::OnMessage(UINT message, WPARAM wparam, LPARAM /*lparam*/) {
  if (message == RunPostedCallsMessage()) {
    RunPostedCalls();
    return TRUE;
  }
  switch (message) {
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == IDM_ABOUTBOX) {
        model_.OnAbout();
        return TRUE;
      }
      return FALSE;
    case WM_PAINT:
      if (::IsIconic(window_)) {
        OnPaint();
        return TRUE;
      }
      return FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(big_icon_);
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK:
          if (HIWORD(wparam) == BN_CLICKED) model_.OnExecute();
          return TRUE;
        case IDC_RESCAN_DEVICE:
          if (HIWORD(wparam) == BN_CLICKED) model_.OnRescanDevice();
          return TRUE;
        case IDCANCEL:
          // Exit, Escape, the close box and the system menu's Close: no question asked; the
          // run, if any, is aborted.
          model_.OnClose();
          ::EndDialog(window_, IDCANCEL);
          return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      model_.OnClose();
      return FALSE;
  }
  return FALSE;
}

void CFenUpdatorDlgWin::OnPaint() {
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(window_, &paint);
  ::SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int cx = ::GetSystemMetrics(SM_CXICON);
  const int cy = ::GetSystemMetrics(SM_CYICON);
  RECT client;
  ::GetClientRect(window_, &client);
  const int x = (client.right - client.left - cx + 1) / 2;
  const int y = (client.bottom - client.top - cy + 1) / 2;
  ::DrawIcon(dc, x, y, big_icon_);
  ::EndPaint(window_, &paint);
}

// ---------------------------------------------------------------------------------------
// DialogWidgets.

void CFenUpdatorDlgWin::SetListItems(int list_id, const std::vector<std::string>& items) {
  HWND list = ::GetDlgItem(window_, list_id);
  ::SendMessageW(list, CB_RESETCONTENT, 0, 0);
  for (const std::string& item : items) {
    const std::wstring text = Widen(item);
    ::SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
}

void CFenUpdatorDlgWin::SelectListItem(int list_id, int position) {
  ::SendDlgItemMessageW(window_, list_id, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
}

int CFenUpdatorDlgWin::SelectedListItem(int list_id) const {
  return static_cast<int>(::SendDlgItemMessageW(window_, list_id, CB_GETCURSEL, 0, 0));
}

void CFenUpdatorDlgWin::SetControlText(int control_id, const std::string& text) {
  const std::wstring wide = Widen(text);
  if (control_id == 0) {
    ::SetWindowTextW(window_, wide.c_str());
  } else {
    ::SetDlgItemTextW(window_, control_id, wide.c_str());
  }
}

void CFenUpdatorDlgWin::EnableControl(int control_id, bool enable) {
  ::EnableWindow(::GetDlgItem(window_, control_id), enable ? TRUE : FALSE);
}

void CFenUpdatorDlgWin::SetProgressRange(int upper) {
  ::SendDlgItemMessageW(window_, IDC_PROGRESS, PBM_SETRANGE32, 0, upper);
}

void CFenUpdatorDlgWin::SetProgressPos(int position) {
  ::SendDlgItemMessageW(window_, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

int CFenUpdatorDlgWin::FocusedControl() const {
  HWND focus = ::GetFocus();
  for (int id : kAllControls) {
    if (focus != nullptr && focus == ::GetDlgItem(window_, id)) return id;
  }
  return 0;
}

void CFenUpdatorDlgWin::FocusControl(int control_id) {
  // Through the dialog manager, which also moves the default-button look.
  ::SendMessageW(window_, WM_NEXTDLGCTL,
                 reinterpret_cast<WPARAM>(::GetDlgItem(window_, control_id)), TRUE);
}

void CFenUpdatorDlgWin::ErrorBox(const std::string& text, const std::string& caption) {
  ::MessageBoxW(window_, Widen(text).c_str(), Widen(caption).c_str(), MB_ICONHAND);
}

bool CFenUpdatorDlgWin::ConfirmPlaceholder(const std::string& text, const std::string& caption) {
  return ::MessageBoxW(window_, Widen(text).c_str(), Widen(caption).c_str(),
                       MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2) == IDOK;
}

void CFenUpdatorDlgWin::ShowAbout() { RunAboutBox(instance_, window_, placeholder_firmware_); }

void CFenUpdatorDlgWin::CloseBoxes() {
  // The message boxes and the About box are windows of this thread owned by the dialog.
  ::EnumThreadWindows(
      ::GetCurrentThreadId(),
      [](HWND box, LPARAM owner) -> BOOL {
        if (::GetWindow(box, GW_OWNER) == reinterpret_cast<HWND>(owner)) {
          ::PostMessageW(box, WM_CLOSE, 0, 0);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(window_));
}

bool CFenUpdatorDlgWin::OnWindowThread() const { return ::GetCurrentThreadId() == window_thread_; }

void CFenUpdatorDlgWin::Post(std::function<void()> call) {
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    posted_.push_back(std::move(call));
  }
  // Should the post fail (a full message queue), the call runs with the next one.
  ::PostMessageW(window_, RunPostedCallsMessage(), 0, 0);
}

void CFenUpdatorDlgWin::RunPostedCalls() {
  std::deque<std::function<void()>> calls;
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    calls.swap(posted_);
  }
  for (auto& call : calls) call();
}

// ---------------------------------------------------------------------------------------
// The About box.

namespace {

INT_PTR CALLBACK AboutProc(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      ::SetDlgItemTextW(box, IDC_ABOUT_TITLE, Widen(kProductTitle).c_str());
      if (lparam != 0) {
        // A demo build says so below the title: the box grows by one line for it.
        RECT unit = {0, 0, 4, 8};
        ::MapDialogRect(box, &unit);
        RECT frame;
        ::GetWindowRect(box, &frame);
        ::SetWindowPos(box, nullptr, 0, 0, frame.right - frame.left,
                       frame.bottom - frame.top + unit.bottom * 2, SWP_NOMOVE | SWP_NOZORDER);
        RECT text = {11, 42, 11 + 217, 42 + 16};
        ::MapDialogRect(box, &text);
        HWND note = ::CreateWindowExW(0, L"Static", Widen(kPlaceholderFirmwareNote).c_str(),
                                      WS_CHILD | WS_VISIBLE | SS_LEFT, text.left, text.top,
                                      text.right - text.left, text.bottom - text.top, box, nullptr,
                                      nullptr, nullptr);
        ::SendMessageW(note, WM_SETFONT, ::SendMessageW(box, WM_GETFONT, 0, 0), FALSE);
      }
      return TRUE;  // the default focus
    }
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        ::EndDialog(box, LOWORD(wparam));
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      ::EndDialog(box, IDCANCEL);
      return TRUE;
  }
  return FALSE;
}

}  // namespace

void RunAboutBox(HINSTANCE instance, HWND owner, bool placeholder_firmware) {
  ::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, AboutProc,
                    placeholder_firmware ? 1 : 0);
}

}  // namespace fen
