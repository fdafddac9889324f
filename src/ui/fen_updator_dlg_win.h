// CFenUpdatorDlg in Win32 terms: the modal dialog on template 103 with its dialog procedure.
// Its behaviour is the dialog model's; this class gives the model the controls, MessageBox,
// the About box on template 100 and the window thread's message queue.
#pragma once

// The model first: the engine's MIDI names stand in for the multimedia header's, which the
// lean windows.h leaves out.
#include "dialog/dialog_model.h"
#include "dialog/dialog_widgets.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace fen {

// UTF-8 to UTF-16 and back, for the wide-character calls.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

class CFenUpdatorDlgWin : public DialogWidgets {
 public:
  CFenUpdatorDlgWin(HINSTANCE instance, DialogModel::Options options);
  ~CFenUpdatorDlgWin() override;

  // Runs the dialog modally on template 103 until it closes.
  INT_PTR DoModal();

  DialogModel& model() { return model_; }

  // DialogWidgets.
  void SetListItems(int list_id, const std::vector<std::string>& items) override;
  void SelectListItem(int list_id, int position) override;
  int SelectedListItem(int list_id) const override;
  void SetControlText(int control_id, const std::string& text) override;
  void EnableControl(int control_id, bool enable) override;
  void SetProgressRange(int upper) override;
  void SetProgressPos(int position) override;
  int FocusedControl() const override;
  void FocusControl(int control_id) override;
  void ErrorBox(const std::string& text, const std::string& caption) override;
  bool ConfirmPlaceholder(const std::string& text, const std::string& caption) override;
  void ShowAbout() override;
  void CloseBoxes() override;
  bool OnWindowThread() const override;
  void Post(std::function<void()> call) override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
  BOOL OnInitDialog();
  void OnPaint();
  void RunPostedCalls();

  HINSTANCE instance_;
  HWND window_ = nullptr;
  DWORD window_thread_ = 0;
  HICON big_icon_ = nullptr;
  HICON small_icon_ = nullptr;
  bool placeholder_firmware_;
  // Calls for the window thread, queued by Post.
  std::mutex posted_mutex_;
  std::deque<std::function<void()>> posted_;

  // Last: torn down first.
  DialogModel model_;
};

// The About box on template 100, modal to `owner`.
void RunAboutBox(HINSTANCE instance, HWND owner, bool placeholder_firmware);

}  // namespace fen
