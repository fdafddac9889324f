// The test build of the desktop program started under Wine and driven from outside as a user
// would: by the keyboard, the system menu command, and closing its window. Its simulated device
// lives in its own process; the program writes how its session ended to a report file when
// its window has closed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/instance_search.h"
#include "engine/resource.h"
#include "platform/instance_lock.h"
#include "ui/product_title.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace fen {
namespace {

using namespace std::chrono_literals;

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Text(HWND window) {
  wchar_t buffer[512] = {};
  ::SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK, 2000,
                        nullptr);
  std::wstring wide(buffer);
  return std::string(wide.begin(), wide.end());
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A window of another process by its exact title, and optionally its owner.
HWND FindTopWindow(const std::string& title, HWND owner = nullptr) {
  struct Search {
    std::wstring title;
    HWND owner;
    HWND found = nullptr;
  } search{Wide(title), owner};
  ::EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        wchar_t buffer[256] = {};
        ::GetWindowTextW(w, buffer, 256);
        if (s->title == buffer && ::IsWindowVisible(w) &&
            (s->owner == nullptr || ::GetWindow(w, GW_OWNER) == s->owner)) {
          s->found = w;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The static text of a message box.
std::string BoxText(HWND box) {
  std::string text;
  ::EnumChildWindows(
      box,
      [](HWND child, LPARAM p) -> BOOL {
        wchar_t cls[32] = {};
        ::GetClassNameW(child, cls, 32);
        if (std::wstring(cls) == L"Static") {
          std::string t = Text(child);
          if (!t.empty()) *reinterpret_cast<std::string*>(p) = t;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&text));
  return text;
}

void PressKey(WORD key) {
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_KEYBOARD;
  input[0].ki.wVk = input[1].ki.wVk = key;
  input[1].ki.dwFlags = KEYEVENTF_KEYUP;
  ::SendInput(2, input, sizeof(INPUT));
}

// One copy of the test build with its switches; killed if a test leaves it running.
class Program {
 public:
  using Env = std::vector<std::pair<std::string, std::string>>;
  Program() : Program(Env{}) {}
  explicit Program(Env env) {
    static int counter = 0;
    report_ = "win32-desktop-report-" + std::to_string(::GetCurrentProcessId()) + "-" +
              std::to_string(counter++) + ".txt";
    std::remove(report_.c_str());
    env.push_back({"FEN_TEST_SIMULATE", "1"});
    env.push_back({"FEN_TEST_TIMEOUTS", "short"});
    env.push_back({"FEN_TEST_REPORT", report_});
    std::vector<std::pair<std::string, std::string>> saved;
    for (const auto& [name, value] : env) {
      const char* old = std::getenv(name.c_str());
      saved.push_back({name, old ? old : ""});
      ::SetEnvironmentVariableA(name.c_str(), value.c_str());
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string command = std::string("\"") + FEN_TEST_EXE + "\"";
    started_ = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &process_) != 0;
    for (const auto& [name, value] : saved) {
      ::SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
    }
  }
  ~Program() {
    if (started_) {
      if (::WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process_.hProcess, 9);
      }
      ::CloseHandle(process_.hProcess);
      ::CloseHandle(process_.hThread);
    }
    std::remove(report_.c_str());
  }
  bool started() const { return started_; }
  // Its main window, once it shows.
  HWND Window(const std::string& title) {
    HWND w = nullptr;
    WaitFor([&] { return (w = FindTopWindow(title)) != nullptr; });
    return w;
  }
  bool Exited(std::chrono::milliseconds limit) {
    return ::WaitForSingleObject(process_.hProcess, static_cast<DWORD>(limit.count())) ==
           WAIT_OBJECT_0;
  }
  std::string Report() const {
    std::ifstream in(report_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string report_;
  PROCESS_INFORMATION process_ = {};
  bool started_ = false;
};

const std::string kTitle = ProductTitleFor(1);

// A demo build asks once before its first run whether to write placeholder images: yes.
void AnswerPlaceholderQuestion(HWND window) {
  HWND question = nullptr;
  if (WaitFor([&] { return (question = FindTopWindow(kTitle, window)) != nullptr; }, 5s)) {
    ::PostMessageW(question, WM_COMMAND, IDOK, 0);
  }
}

// Once the program's window shows, starts a run by the keyboard ("Execute" has the focus) and
// says yes to the question. The window, or null when none showed.
HWND StartRunByKeyboard(Program& program) {
  HWND window = program.Window(kTitle);
  if (window == nullptr) return nullptr;
  ::SetForegroundWindow(window);
  PressKey(VK_RETURN);
  AnswerPlaceholderQuestion(window);
  return window;
}

// Closes the window; true when the program has ended within ten seconds.
bool CloseAndWaitForExit(Program& program, HWND window) {
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  return program.Exited(10s);
}

bool Enabled(HWND dialog, int id) { return ::IsWindowEnabled(::GetDlgItem(dialog, id)) != 0; }

TEST(Win32Window, ShowsItsTitleControlsAndPreselectedPorts) {
  Program program;
  ASSERT_TRUE(program.started());
  HWND w = program.Window(kTitle);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(Text(::GetDlgItem(w, IDOK)), "Execute");
  EXPECT_EQ(Text(::GetDlgItem(w, IDCANCEL)), "Exit");
  EXPECT_EQ(Text(::GetDlgItem(w, IDC_RESCAN_DEVICE)), "Rescan Device");
  for (int list : {IDC_MIDI_IN_LIST, IDC_MIDI_OUT_LIST}) {
    EXPECT_EQ(::SendDlgItemMessageW(w, list, CB_GETCOUNT, 0, 0), 1);
    EXPECT_EQ(::SendDlgItemMessageW(w, list, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(Text(::GetDlgItem(w, list)), "USB Audio Device");
  }
  EXPECT_TRUE(Enabled(w, IDOK));
  EXPECT_TRUE(CloseAndWaitForExit(program, w));
}

TEST(Win32Window, MessagesThatAnotherProgramPostsRunNothing) {
  Program program;
  ASSERT_TRUE(program.started());
  HWND w = program.Window(kTitle);
  ASSERT_NE(w, nullptr);
  // Any program may post any message to the window, with any address in it.
  ::PostMessageW(w, WM_APP + 1, 0, 0x1234);
  ::PostMessageW(w, ::RegisterWindowMessageW(L"fenupdator.RunPostedCalls"), 0, 0x1234);
  EXPECT_EQ(Text(::GetDlgItem(w, IDOK)), "Execute") << "the window still answers";
  EXPECT_TRUE(CloseAndWaitForExit(program, w));
}

TEST(Win32Window, AWholeUpdateByTheKeyboardEndsCompleted) {
  Program program;
  HWND w = StartRunByKeyboard(program);
  ASSERT_NE(w, nullptr);
  // The status line comes first, then the controls come back, then "Execute" is disabled: the
  // end state is waited for whole, not read at its first sign.
  ASSERT_TRUE(WaitFor(
      [&] {
        return Text(::GetDlgItem(w, IDC_STATUS_LINE)) == "Version update completed." &&
               Enabled(w, IDC_RESCAN_DEVICE) && !Enabled(w, IDOK);
      },
      120s))
      << Text(::GetDlgItem(w, IDC_STATUS_LINE)) << "; Execute enabled: " << Enabled(w, IDOK);
  EXPECT_EQ(Text(::GetDlgItem(w, IDC_STEP_COUNTER)), "9/9");
  EXPECT_FALSE(Enabled(w, IDOK)) << "until Rescan Device";
  EXPECT_TRUE(Enabled(w, IDC_RESCAN_DEVICE));
  EXPECT_TRUE(Enabled(w, IDC_MIDI_IN_LIST));
  ::PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDC_RESCAN_DEVICE, BN_CLICKED), 0);
  EXPECT_TRUE(WaitFor([&] { return Enabled(w, IDOK); }));
  ASSERT_TRUE(CloseAndWaitForExit(program, w));
  EXPECT_EQ(program.Report(), "result completed\nworker ended\nflash holds the images\n");
}

TEST(Win32Window, AFailedRunShowsItsErrorBoxAndRestoresTheControls) {
  Program program(Program::Env{{"FEN_TEST_FAULTS", "not-update-mode"}});
  HWND w = StartRunByKeyboard(program);
  ASSERT_NE(w, nullptr);
  HWND box = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (box = FindTopWindow("Error", w)) != nullptr; }));
  EXPECT_EQ(BoxText(box), "Please use the firmware update mode.");
  EXPECT_FALSE(Enabled(w, IDOK)) << "restored only once the box is closed";
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(WaitFor([&] { return Enabled(w, IDOK); }));
  EXPECT_TRUE(Enabled(w, IDC_MIDI_IN_LIST));
  EXPECT_TRUE(Enabled(w, IDC_RESCAN_DEVICE));
  ASSERT_TRUE(CloseAndWaitForExit(program, w));
  EXPECT_EQ(program.Report(), "result not in update mode\nworker ended\nflash differs\n");
}

TEST(Win32Window, EnterDuringARunDoesNothingAndClosingEndsTheRunAndTheProgram) {
  Program program(Program::Env{{"FEN_TEST_PACE", "usb"}});
  HWND w = StartRunByKeyboard(program);
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(
      WaitFor([&] { return Text(::GetDlgItem(w, IDC_STATUS_LINE)).rfind("Data", 0) == 0; }));
  EXPECT_FALSE(Enabled(w, IDOK));
  // The focus left the disabled "Execute" for the status line, not for "Exit" (nor nowhere).
  GUITHREADINFO gui = {};
  gui.cbSize = sizeof gui;
  ASSERT_TRUE(::GetGUIThreadInfo(::GetWindowThreadProcessId(w, nullptr), &gui));
  EXPECT_EQ(gui.hwndFocus, ::GetDlgItem(w, IDC_STATUS_LINE));
  ::SetForegroundWindow(w);
  PressKey(VK_RETURN);
  PressKey(VK_RETURN);
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(::IsWindow(w)) << "Enter closed the window during the run";
  EXPECT_EQ(FindTopWindow("Error", w), nullptr);
  ASSERT_TRUE(CloseAndWaitForExit(program, w)) << "the program hangs after closing during a run";
  EXPECT_EQ(program.Report(), "result aborted\nworker ended\nflash differs\n");
}

TEST(Win32Window, TheSystemMenuCommandOpensTheAboutBox) {
  Program program;
  HWND w = program.Window(kTitle);
  ASSERT_NE(w, nullptr);
  ::PostMessageW(w, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  HWND about = nullptr;
  ASSERT_TRUE(
      WaitFor([&] { return (about = FindTopWindow("About PL-33QV Updater", w)) != nullptr; }));
  EXPECT_EQ(Text(::GetDlgItem(about, IDC_ABOUT_TITLE)), kTitle);
  ::PostMessageW(about, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(WaitFor([&] { return !::IsWindow(about); }));
  EXPECT_TRUE(CloseAndWaitForExit(program, w));
}

TEST(Win32Window, ASecondCopyIsNumberedAndThe21stIsRefused) {
  Program first;
  ASSERT_NE(first.Window(kTitle), nullptr);
  Program second;
  HWND w2 = second.Window(ProductTitleFor(2));
  ASSERT_NE(w2, nullptr);

  // Numbers 3 to 20 held here, as 18 more copies would hold them.
  std::vector<std::unique_ptr<InstanceLock>> held;
  for (int n = 3; n <= kMaxInstances; ++n)
    held.push_back(InstanceLock::TryAcquire(ProductTitleFor(n)));
  Program refused;
  HWND box = refused.Window("fenupdator");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(BoxText(box), TooManyInstancesText());
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(refused.Exited(10s));
  EXPECT_EQ(FindTopWindow(ProductTitleFor(21)), nullptr);
}

}  // namespace
}  // namespace fen
