// CFenUpdatorDlg: the main window in Qt terms. Its behaviour is the dialog model's
// (dialog/dialog_model.h); this class gives the model its widgets, message boxes and window
// thread, and forwards the window's events to it.
#pragma once

#include <QDialog>
#include <QList>
#include <QPointer>
#include <functional>
#include <string>

#include "dialog/dialog_model.h"
#include "dialog/dialog_widgets.h"

class QComboBox;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QAction;

namespace fen {

class CFenUpdatorDlg : public QDialog, public DialogWidgets {
  Q_OBJECT

 public:
  using Options = DialogModel::Options;

  explicit CFenUpdatorDlg(Options options, QWidget* parent = nullptr);
  ~CFenUpdatorDlg() override;

  DialogModel& model() { return model_; }
  UpdateSession& session() { return model_.session(); }
  int instance() const { return instance_; }
  // The item that opens the About box (in the system menu on Windows, else the context menu).
  QAction* about_action() const { return about_action_; }

  // The placeholder warning is shown once per process; tests start over with this.
  static void ResetPlaceholderWarning() { DialogModel::ResetPlaceholderWarning(); }

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
  void OpenErrorBox(const std::string& text, const std::string& caption,
                    std::function<void()> closed) override;
  bool ConfirmPlaceholder(const std::string& text, const std::string& caption) override;
  void ShowAbout() override;
  void CloseBoxes() override;
  bool OnWindowThread() const override;
  void Post(std::function<void()> call) override;

 public slots:
  // The window is closing, however (Exit, Escape, close box): the model aborts the run and
  // releases the session before the window goes.
  void done(int result) override;
  void OnExecute() { model_.OnExecute(); }
  void OnRescanDevice() { model_.OnRescanDevice(); }
  void OnAbout() { model_.OnAbout(); }

 signals:
  // A message box (error box or the placeholder warning) has just been opened. Tests close or
  // record it here; the box is deleted once it has finished.
  void messageBoxShown(QMessageBox* box);

 private:
  QWidget* Control(int control_id) const;
  // Opens a message box modal to this window; `finished` runs when it is closed, however.
  QMessageBox* OpenMessageBox(int icon, const QString& caption, const QString& text, int buttons,
                              std::function<void(int)> finished);
  // Shows a box modal to this window and processes events until it is closed (or the window
  // closes it). Returns its result.
  int RunMessageBox(int icon, const QString& caption, const QString& text, int buttons);

  int instance_;
  bool placeholder_firmware_;
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

  // Last: constructed after the widgets' owner and torn down first.
  DialogModel model_;
};

}  // namespace fen
