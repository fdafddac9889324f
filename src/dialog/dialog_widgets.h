// What a front end supplies to the main dialog's model: its controls by control ID, its message
// boxes, and a way to run a call on the window thread. Everything else of the dialog is the
// model's (dialog_model.h).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace fen {

class DialogWidgets {
 public:
  virtual ~DialogWidgets() = default;

  // A drop-down list (IDC_MIDI_IN_LIST, IDC_MIDI_OUT_LIST): replace its items (UTF-8), select
  // a position (-1: none), read the selected position (-1 when none).
  virtual void SetListItems(int list_id, const std::vector<std::string>& items) = 0;
  virtual void SelectListItem(int list_id, int position) = 0;
  virtual int SelectedListItem(int list_id) const = 0;

  // The text of a control (UTF-8), or of the window's title with control ID 0.
  virtual void SetControlText(int control_id, const std::string& text) = 0;
  virtual void EnableControl(int control_id, bool enable) = 0;
  virtual void SetProgressRange(int upper) = 0;
  virtual void SetProgressPos(int position) = 0;
  // The control that has the keyboard focus (0 when none of the dialog's), and moving it.
  virtual int FocusedControl() const = 0;
  virtual void FocusControl(int control_id) = 0;

  // Modal boxes owned by the main window, run on the window thread; each returns when closed.
  // The error box: the text, caption "Error", the stop icon, one OK button.
  virtual void ErrorBox(const std::string& text, const std::string& caption) = 0;
  // The same box for the worker, which waits for it while the window thread goes on: opens it
  // and calls `closed` once it has been closed (also when the window closes it). A front end
  // whose boxes run their own event loop may just run the box.
  virtual void OpenErrorBox(const std::string& text, const std::string& caption,
                            std::function<void()> closed) {
    ErrorBox(text, caption);
    closed();
  }
  // The warning before the first run with placeholder images: true to go on.
  virtual bool ConfirmPlaceholder(const std::string& text, const std::string& caption) = 0;
  virtual void ShowAbout() = 0;
  // Closes every box and About box the window has open (the window is closing).
  virtual void CloseBoxes() = 0;

  // True on the window thread.
  virtual bool OnWindowThread() const = 0;
  // Runs `call` on the window thread, soon, without waiting (from any thread).
  virtual void Post(std::function<void()> call) = 0;
};

}  // namespace fen
