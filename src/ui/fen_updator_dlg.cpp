// The main window in Qt terms: template 103's widgets, Qt's message boxes and About box, and
// Qt's event loop as the window thread. What the dialog does is the dialog model's.
#include "ui/fen_updator_dlg.h"

#include <QAction>
#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <memory>

#include "engine/string_table.h"
#include "ui/about_dlg.h"
#include "ui/about_menu.h"
#include "ui/dialog_layout.h"
#include "ui/program_icon.h"

namespace fen {

namespace {

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), text.size()); }

}  // namespace

CFenUpdatorDlg::CFenUpdatorDlg(Options options, QWidget* parent)
    : QDialog(parent),
      instance_(options.instance),
      placeholder_firmware_(options.placeholder_firmware),
      model_(*this, std::move(options)) {
  BuildDialog(this, kMainDialogTemplate);
  in_list_ = DialogItemOf<QComboBox>(this, IDC_MIDI_IN_LIST);
  out_list_ = DialogItemOf<QComboBox>(this, IDC_MIDI_OUT_LIST);
  progress_ = DialogItemOf<QProgressBar>(this, IDC_PROGRESS);
  execute_ = DialogItemOf<QPushButton>(this, IDOK);
  status_line_ = DialogItemOf<QLineEdit>(this, IDC_STATUS_LINE);
  rescan_ = DialogItemOf<QPushButton>(this, IDC_RESCAN_DEVICE);
  step_counter_ = DialogItemOf<QLineEdit>(this, IDC_STEP_COUNTER);
  exit_ = DialogItemOf<QPushButton>(this, IDCANCEL);

  connect(execute_, &QPushButton::clicked, this, &CFenUpdatorDlg::OnExecute);
  connect(rescan_, &QPushButton::clicked, this, &CFenUpdatorDlg::OnRescanDevice);
  connect(exit_, &QPushButton::clicked, this, &QDialog::reject);

  // The About item. Where the window manager owns the window menu, the window's context menu
  // (right click, the Menu key or Shift+F10) carries it instead.
  const QString about_text = FromUtf8(LoadString(IDS_ABOUTBOX));
  if (!AppendAboutToSystemMenu(this, about_text, [this] { OnAbout(); }) && !about_text.isEmpty()) {
    about_action_ = new QAction(about_text, this);
    about_action_->setObjectName(QStringLiteral("aboutAction"));
    connect(about_action_, &QAction::triggered, this, &CFenUpdatorDlg::OnAbout);
    addAction(about_action_);
    setContextMenuPolicy(Qt::ActionsContextMenu);
  }

  setWindowIcon(ProgramIcon());
  model_.Initialise();
}

CFenUpdatorDlg::~CFenUpdatorDlg() { model_.OnClose(); }

void CFenUpdatorDlg::done(int result) {
  model_.OnClose();
  QDialog::done(result);
}

// ---------------------------------------------------------------------------------------
// DialogWidgets.

QWidget* CFenUpdatorDlg::Control(int control_id) const {
  switch (control_id) {
    case IDC_MIDI_IN_LIST:
      return in_list_;
    case IDC_MIDI_OUT_LIST:
      return out_list_;
    case IDC_PROGRESS:
      return progress_;
    case IDOK:
      return execute_;
    case IDC_STATUS_LINE:
      return status_line_;
    case IDC_RESCAN_DEVICE:
      return rescan_;
    case IDC_STEP_COUNTER:
      return step_counter_;
    case IDCANCEL:
      return exit_;
    default:
      return nullptr;
  }
}

void CFenUpdatorDlg::SetListItems(int list_id, const std::vector<std::string>& items) {
  auto* list = static_cast<QComboBox*>(Control(list_id));
  list->clear();
  for (const std::string& item : items) list->addItem(FromUtf8(item));
}

void CFenUpdatorDlg::SelectListItem(int list_id, int position) {
  // Adding the first item selects it; only a matching name may stay selected.
  static_cast<QComboBox*>(Control(list_id))->setCurrentIndex(position);
}

int CFenUpdatorDlg::SelectedListItem(int list_id) const {
  return static_cast<QComboBox*>(Control(list_id))->currentIndex();
}

void CFenUpdatorDlg::SetControlText(int control_id, const std::string& text) {
  if (control_id == 0) {
    setWindowTitle(FromUtf8(text));
    return;
  }
  if (auto* edit = qobject_cast<QLineEdit*>(Control(control_id))) edit->setText(FromUtf8(text));
}

void CFenUpdatorDlg::EnableControl(int control_id, bool enable) {
  if (QWidget* control = Control(control_id)) control->setEnabled(enable);
}

void CFenUpdatorDlg::SetProgressRange(int upper) { progress_->setRange(0, upper); }

void CFenUpdatorDlg::SetProgressPos(int position) {
  // The position is clamped to the range, as a Windows progress control clamps it.
  progress_->setValue(std::clamp(position, progress_->minimum(), progress_->maximum()));
}

int CFenUpdatorDlg::FocusedControl() const {
  const QWidget* focused = focusWidget();
  for (int id : {IDOK, IDCANCEL, IDC_MIDI_IN_LIST, IDC_MIDI_OUT_LIST, IDC_STATUS_LINE,
                 IDC_RESCAN_DEVICE, IDC_STEP_COUNTER}) {
    if (focused != nullptr && focused == Control(id)) return id;
  }
  return 0;
}

void CFenUpdatorDlg::FocusControl(int control_id) {
  if (QWidget* control = Control(control_id)) control->setFocus();
}

QMessageBox* CFenUpdatorDlg::OpenMessageBox(int icon, const QString& caption, const QString& text,
                                            int buttons, std::function<void(int)> finished) {
  auto* box = new QMessageBox(static_cast<QMessageBox::Icon>(icon), caption, text,
                              static_cast<QMessageBox::StandardButtons>(buttons), this);
  // A question that may be declined is declined by Enter, the safe answer.
  if ((buttons & QMessageBox::Cancel) != 0) box->setDefaultButton(QMessageBox::Cancel);
  QPointer<QDialog> tracked(box);
  open_boxes_.append(tracked);
  connect(box, &QDialog::finished, this, [this, box, tracked, finished](int result) {
    open_boxes_.removeAll(tracked);
    box->deleteLater();
    finished(result);
  });
  box->open();
  emit messageBoxShown(box);
  return box;
}

int CFenUpdatorDlg::RunMessageBox(int icon, const QString& caption, const QString& text,
                                  int buttons) {
  // Like exec(), but the window's closing ends it too (it closes every open box).
  auto state = std::make_shared<std::pair<bool, int>>(false, QMessageBox::Cancel);
  QEventLoop loop;
  OpenMessageBox(icon, caption, text, buttons, [state, &loop](int result) {
    *state = {true, result};
    loop.quit();
  });
  if (!state->first) loop.exec(QEventLoop::DialogExec);
  return state->second;
}

void CFenUpdatorDlg::ErrorBox(const std::string& text, const std::string& caption) {
  RunMessageBox(QMessageBox::Critical, FromUtf8(caption), FromUtf8(text), QMessageBox::Ok);
}

void CFenUpdatorDlg::OpenErrorBox(const std::string& text, const std::string& caption,
                                  std::function<void()> closed) {
  OpenMessageBox(QMessageBox::Critical, FromUtf8(caption), FromUtf8(text), QMessageBox::Ok,
                 [closed](int) { closed(); });
}

bool CFenUpdatorDlg::ConfirmPlaceholder(const std::string& text, const std::string& caption) {
  return RunMessageBox(QMessageBox::Warning, FromUtf8(caption), FromUtf8(text),
                       QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
}

void CFenUpdatorDlg::ShowAbout() {
  QPointer<QDialog> about = new CAboutDlg(placeholder_firmware_, this);
  open_boxes_.append(about);
  about->exec();
  open_boxes_.removeAll(about);
  delete about.data();
}

void CFenUpdatorDlg::CloseBoxes() {
  const auto boxes = open_boxes_;
  for (const QPointer<QDialog>& box : boxes) {
    if (!box.isNull()) box->done(QDialog::Rejected);
  }
}

bool CFenUpdatorDlg::OnWindowThread() const { return QThread::currentThread() == thread(); }

void CFenUpdatorDlg::Post(std::function<void()> call) {
  QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

}  // namespace fen
