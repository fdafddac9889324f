// CFenUpdatorDlg without a toolkit: the port lists and their pre-selection, the "Execute",
// "Rescan Device" and About handlers, the busy flag (the session's), the placeholder warning,
// the teardown order, and the hand-over of the worker's view calls to the window thread. The
// Qt and the Win32 front ends give it their widgets (dialog_widgets.h) and forward their events.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "dialog/dialog_widgets.h"
#include "engine/update_session.h"
#include "engine/update_view.h"

namespace fen {

// The note the About box and the first "Execute" show in a build with placeholder images.
inline constexpr const char* kPlaceholderFirmwareNote =
    "This build carries placeholder firmware images, not a firmware release.";

class DialogModel : public UpdateView {
 public:
  struct Options {
    int instance = 1;
    UpdateServices services;
    UpdateTiming timing;
    // The session's firmware images are generated placeholders, not a firmware release.
    bool placeholder_firmware = false;
    // Why the program has no MIDI system, when it has none ("" otherwise): the status line
    // says it while the lists are empty.
    std::string midi_problem = {};
    // How long the ports are listened to after each Identity Request when no pair of ports is
    // named like the device and the device is looked for by its answer.
    std::uint32_t identify_wait_ms = 300;
  };

  // The status line while a port list is empty and the MIDI system works.
  static constexpr const char* kNoMidiDeviceText =
      "No MIDI device found. Connect the device, then press Rescan Device.";
  // The status line when no port bears the device's name and the device answered on a pair.
  static constexpr const char* kFoundByAnswerText =
      "Ports chosen by the device's answer: their names are not the device's usual ones.";

  DialogModel(DialogWidgets& widgets, Options options);
  // Tears the session down if the window has not closed yet.
  ~DialogModel() override;
  DialogModel(const DialogModel&) = delete;
  DialogModel& operator=(const DialogModel&) = delete;

  // The initialisation handler, once the widgets exist: the lists, the timer, the progress
  // range, the title, the focus on "Execute".
  void Initialise();
  // Window-thread handlers.
  void OnExecute();
  void OnRescanDevice();
  void OnAbout();
  // The window is closing, however (Exit, Escape, the close box, the system menu's Close):
  // from here on worker calls return at once and touch nothing; open boxes are closed; the
  // session is torn down (the run aborted), or, while "Execute" is inside one of its own error
  // boxes, as soon as that call returns. Idempotent.
  void OnClose();
  bool closing() const;

  UpdateSession& session() { return session_; }
  int instance() const { return options_.instance; }
  bool placeholder_firmware() const { return options_.placeholder_firmware; }
  // The window title of the instance.
  std::string Title() const;

  // The placeholder warning's text, and its being shown once per process (tests start over).
  static std::string PlaceholderWarningText();
  static void ResetPlaceholderWarning();

  // UpdateView. From the worker the progress bar, the step counter and the status line are
  // handed to the window thread without waiting (the latest of each, so that a window thread
  // held up never has more than one such call queued); every other call runs on the window
  // thread and returns once it has taken effect, after the progress handed over before it, or
  // at once when the window is closing.
  void SetStatusLine(const std::string& text) override;
  void SetStepCounter(const std::string& text) override;
  void SetProgressRange(std::int32_t upper) override;
  void SetProgressPos(std::int32_t position) override;
  void ErrorBox(int string_id) override;
  // The string's text, then the detail on a line of its own.
  void ErrorBoxWithDetail(int string_id, const std::string& detail) override;
  void RestoreControls() override;
  void EnableExecute(bool enable) override;
  void DisableControls() override;
  void RunEnded(UpdateResult result) override;

  // The front end's own observer of run ends (tests, the screenshot tool); window thread.
  void set_on_run_ended(std::function<void(UpdateResult)> f) { on_run_ended_ = std::move(f); }

 private:
  void FillPortLists();
  // Where no pair of ports is named like the device, asks each output who is there and
  // selects the instance's pair among those of the family that answered; false when none.
  bool SelectByAnswer();
  // The status line says why a list is empty or how the ports were chosen, and is cleared
  // once that no longer holds.
  void ShowListNote(const char* note);
  void RunOnWindowThread(std::function<void()> apply);
  // The progress, step and status line of the worker, kept until the window thread takes them.
  struct PendingProgress {
    std::optional<std::string> status_line;
    std::optional<std::string> step_counter;
    std::optional<std::int32_t> range;
    std::optional<std::int32_t> position;
    bool posted = false;  // a call to take them is queued on the window thread
  };
  // Applies `update` to what is pending (on the window thread: at once) and makes sure that a
  // call to take it is queued.
  void PostProgress(const std::function<void(PendingProgress&)>& update);
  // Window thread: shows what is pending.
  void TakeProgress();
  void ShowErrorBox(const std::string& text);
  // From another thread: posts `start` to the window thread and waits until it has called
  // `done` (at once, or later, as a box that closes). Returns at once when the window is
  // closing, and a posted call that runs after closing only calls `done`.
  void PostAndWait(std::function<void(const std::function<void()>& done)> start);

  DialogWidgets& widgets_;
  Options options_;
  MidiDriver& driver_;
  std::function<void(UpdateResult)> on_run_ended_;

  int execute_depth_ = 0;           // >0 while OnExecute is inside the session's Execute
  bool showing_list_note_ = false;  // the status line holds ShowListNote's text
  bool teardown_pending_ = false;   // the window closed during that call

  mutable std::mutex calls_mutex_;
  std::condition_variable calls_cv_;
  bool closing_ = false;      // guarded by calls_mutex_
  PendingProgress progress_;  // guarded by calls_mutex_

  // Last: constructed after what it reads and torn down first.
  UpdateSession session_;
};

}  // namespace fen
