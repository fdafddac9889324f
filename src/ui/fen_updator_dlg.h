// CFenUpdatorDlg: the main window. It owns the update session, shows the port lists and the
// run's progress, and carries the worker's view calls over to the window thread.
#pragma once

#include <QDialog>
#include <QList>
#include <QPointer>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/update_session.h"
#include "engine/update_view.h"

class QComboBox;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QAction;

namespace fen {

class CFenUpdatorDlg : public QDialog, public UpdateView {
  Q_OBJECT

 public:
  struct Options {
    int instance = 1;
    UpdateServices services;
    UpdateTiming timing;
    // The session's firmware images are generated placeholders, not a firmware release.
    bool placeholder_firmware = false;
  };

  explicit CFenUpdatorDlg(Options options, QWidget* parent = nullptr);
  ~CFenUpdatorDlg() override;

  // UpdateView. From the worker thread each call runs on the window thread and returns once it
  // has taken effect; once the window is being destroyed it returns at once and does nothing.
  void SetStatusLine(const std::string& text) override;
  void SetStepCounter(const std::string& text) override;
  void SetProgressRange(std::int32_t upper) override;
  void SetProgressPos(std::int32_t position) override;
  void ErrorBox(int string_id) override;
  void RestoreControls() override;
  void EnableExecute(bool enable) override;
  void DisableControls() override;

  UpdateSession& session() { return session_; }
  int instance() const { return options_.instance; }
  // The item that opens the About box (in the system menu on Windows, else the context menu).
  QAction* about_action() const { return about_action_; }

  // The placeholder warning is shown once per process; tests start over with this.
  static void ResetPlaceholderWarning();

 public slots:
  // The window is closing, however (Exit, Escape, close box): abort the run and release the
  // session before the window goes.
  void done(int result) override;
  // The "Execute" button.
  void OnExecute();
  // The "Rescan Device" button: refill the lists, then enable "Execute".
  void OnRescanDevice();
  // The About item.
  void OnAbout();

 signals:
  // A message box (error box or the placeholder warning) has just been opened. Tests close or
  // record it here; the box is deleted once it has finished.
  void messageBoxShown(QMessageBox* box);

 private:
  // A worker's call waiting for the window thread.
  struct PendingCall {
    bool done = false;
  };

  void FillPortLists();
  // Runs `apply` on the window thread and waits until it has run (or the window is being
  // destroyed). On the window thread itself it runs at once.
  void RunOnWindowThread(std::function<void()> apply);
  // Opens a message box modal to this window; `finished` runs when it is closed, however.
  QMessageBox* OpenMessageBox(int icon, const QString& caption, const QString& text, int buttons,
                              std::function<void(int)> finished);
  // Window thread: shows a box and processes events until it is closed. Returns its result.
  int RunMessageBox(int icon, const QString& caption, const QString& text, int buttons);
  // Window thread: from here on worker calls return at once; open boxes are closed.
  void BeginDestroy();
  bool destroying() const;

  Options options_;
  MidiDriver& driver_;

  QComboBox* in_list_ = nullptr;       // 1000
  QComboBox* out_list_ = nullptr;      // 1001
  QProgressBar* progress_ = nullptr;   // 1002
  QPushButton* execute_ = nullptr;     // 1
  QLineEdit* status_line_ = nullptr;   // 1003
  QPushButton* rescan_ = nullptr;      // 1004
  QLineEdit* step_counter_ = nullptr;  // 1006
  QPushButton* exit_ = nullptr;        // 2
  QAction* about_action_ = nullptr;

  QList<QPointer<QDialog>> open_boxes_;
  int execute_depth_ = 0;          // >0 while OnExecute is inside the session's Execute
  bool teardown_pending_ = false;  // the window closed during that call

  mutable std::mutex calls_mutex_;
  std::condition_variable calls_cv_;
  bool destroying_ = false;  // guarded by calls_mutex_

  // Last: constructed after the widgets' owner and torn down first.
  UpdateSession session_;
};

}  // namespace fen
