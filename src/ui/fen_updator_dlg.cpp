// The main window: template 103, the port lists with their pre-selection, "Execute", "Rescan
// Device", the About item, and the view calls that the update worker makes from its thread.
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
#include <atomic>
#include <vector>

#include "engine/port_selection.h"
#include "engine/string_table.h"
#include "ui/about_dlg.h"
#include "ui/about_menu.h"
#include "ui/dialog_layout.h"
#include "ui/product_title.h"
#include "ui/program_icon.h"

namespace fen {

namespace {

// Once per process: the first "Execute" of a build with placeholder images warns first.
std::atomic<bool> g_placeholder_warned{false};

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), text.size()); }

}  // namespace

void CFenUpdatorDlg::ResetPlaceholderWarning() { g_placeholder_warned.store(false); }

CFenUpdatorDlg::CFenUpdatorDlg(Options options, QWidget* parent)
    : QDialog(parent),
      options_(std::move(options)),
      driver_(options_.services.driver ? *options_.services.driver : DefaultMidiDriver()),
      session_(*this, options_.services, options_.timing) {
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
  FillPortLists();
  session_.Initialise();
  progress_->setRange(0, 100);
  setWindowTitle(FromUtf8(ProductTitleFor(options_.instance)));
  execute_->setFocus();
}

CFenUpdatorDlg::~CFenUpdatorDlg() {
  BeginDestroy();
  session_.Teardown();
}

// ---------------------------------------------------------------------------------------
// Handlers (window thread).

void CFenUpdatorDlg::FillPortLists() {
  // The driver's lists are what the port classes' device indices refer to: re-read them so
  // that a device plugged in since the last fill is listed.
  driver_.Rescan();

  std::vector<std::string> out_names;
  out_list_->clear();
  for (int i = 0; i < session_.out_port().GetDeviceCount(); ++i) {
    out_names.push_back(session_.out_port().GetDeviceName(i));
    out_list_->addItem(FromUtf8(out_names.back()));
  }
  std::vector<std::string> in_names;
  in_list_->clear();
  for (int i = 0; i < session_.in_port().GetDeviceCount(); ++i) {
    in_names.push_back(session_.in_port().GetDeviceName(i));
    in_list_->addItem(FromUtf8(in_names.back()));
  }
  // Adding the first item selects it; only a matching name may stay selected.
  out_list_->setCurrentIndex(SelectPreferredPort(out_names, options_.instance));
  in_list_->setCurrentIndex(SelectPreferredPort(in_names, options_.instance));
}

void CFenUpdatorDlg::OnExecute() {
  if (destroying()) return;
  if (options_.placeholder_firmware && !g_placeholder_warned.load()) {
    const int answer = RunMessageBox(
        QMessageBox::Warning, windowTitle(),
        PlaceholderFirmwareNote() +
            QStringLiteral("\nA device updated with them will not work until it is updated "
                           "from a firmware release.\n\nUpdate the device anyway?"),
        QMessageBox::Ok | QMessageBox::Cancel);
    if (destroying() || answer != QMessageBox::Ok) return;
    g_placeholder_warned.store(true);
  }
  ++execute_depth_;
  session_.Execute(in_list_->currentIndex(), out_list_->currentIndex());
  --execute_depth_;
  if (teardown_pending_ && execute_depth_ == 0) {
    teardown_pending_ = false;
    session_.Teardown();
  }
}

void CFenUpdatorDlg::OnRescanDevice() {
  if (destroying()) return;
  FillPortLists();
  EnableExecute(true);
}

void CFenUpdatorDlg::OnAbout() {
  if (destroying()) return;
  QPointer<QDialog> about = new CAboutDlg(options_.placeholder_firmware, this);
  open_boxes_.append(about);
  about->exec();
  open_boxes_.removeAll(about);
  delete about.data();
}

void CFenUpdatorDlg::done(int result) {
  BeginDestroy();
  // Inside Execute (its error box was open) the session is released once that call returns.
  if (execute_depth_ > 0) {
    teardown_pending_ = true;
  } else {
    session_.Teardown();
  }
  QDialog::done(result);
}

void CFenUpdatorDlg::BeginDestroy() {
  {
    std::lock_guard<std::mutex> lock(calls_mutex_);
    if (destroying_) return;
    destroying_ = true;
  }
  calls_cv_.notify_all();
  const auto boxes = open_boxes_;
  for (const QPointer<QDialog>& box : boxes) {
    if (!box.isNull()) box->done(QDialog::Rejected);
  }
}

bool CFenUpdatorDlg::destroying() const {
  std::lock_guard<std::mutex> lock(calls_mutex_);
  return destroying_;
}

// ---------------------------------------------------------------------------------------
// Message boxes.

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

// ---------------------------------------------------------------------------------------
// View calls.

void CFenUpdatorDlg::RunOnWindowThread(std::function<void()> apply) {
  if (QThread::currentThread() == thread()) {
    if (!destroying()) apply();
    return;
  }
  auto call = std::make_shared<PendingCall>();
  {
    std::lock_guard<std::mutex> lock(calls_mutex_);
    if (destroying_) return;
  }
  // The window is alive until the session's teardown has joined this thread, which needs
  // destroying_ set first: posting to it here is safe.
  QMetaObject::invokeMethod(
      this,
      [this, call, apply = std::move(apply)] {
        if (!destroying()) apply();
        {
          std::lock_guard<std::mutex> lock(calls_mutex_);
          call->done = true;
        }
        calls_cv_.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(calls_mutex_);
  calls_cv_.wait(lock, [&] { return call->done || destroying_; });
}

void CFenUpdatorDlg::SetStatusLine(const std::string& text) {
  RunOnWindowThread([this, text] { status_line_->setText(FromUtf8(text)); });
}

void CFenUpdatorDlg::SetStepCounter(const std::string& text) {
  RunOnWindowThread([this, text] { step_counter_->setText(FromUtf8(text)); });
}

void CFenUpdatorDlg::SetProgressRange(std::int32_t upper) {
  RunOnWindowThread([this, upper] { progress_->setRange(0, upper); });
}

void CFenUpdatorDlg::SetProgressPos(std::int32_t position) {
  // The position is clamped to the range, as the original progress control does.
  RunOnWindowThread([this, position] {
    progress_->setValue(std::clamp(position, progress_->minimum(), progress_->maximum()));
  });
}

void CFenUpdatorDlg::ErrorBox(int string_id) {
  const QString caption = FromUtf8(LoadString(IDS_ERROR_CAPTION));
  const QString text = FromUtf8(LoadString(string_id));
  if (QThread::currentThread() == thread()) {
    if (!destroying()) RunMessageBox(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    return;
  }
  // The worker waits for the box to close; the window thread goes on processing events.
  auto call = std::make_shared<PendingCall>();
  {
    std::lock_guard<std::mutex> lock(calls_mutex_);
    if (destroying_) return;
  }
  auto release = [this, call] {
    {
      std::lock_guard<std::mutex> lock(calls_mutex_);
      call->done = true;
    }
    calls_cv_.notify_all();
  };
  QMetaObject::invokeMethod(
      this,
      [this, caption, text, release] {
        if (destroying()) {
          release();
          return;
        }
        OpenMessageBox(QMessageBox::Critical, caption, text, QMessageBox::Ok,
                       [release](int) { release(); });
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(calls_mutex_);
  calls_cv_.wait(lock, [&] { return call->done || destroying_; });
}

void CFenUpdatorDlg::RestoreControls() {
  RunOnWindowThread([this] {
    in_list_->setEnabled(true);
    out_list_->setEnabled(true);
    execute_->setEnabled(true);
    rescan_->setEnabled(true);
  });
}

void CFenUpdatorDlg::EnableExecute(bool enable) {
  RunOnWindowThread([this, enable] { execute_->setEnabled(enable); });
}

void CFenUpdatorDlg::DisableControls() {
  RunOnWindowThread([this] {
    in_list_->setEnabled(false);
    out_list_->setEnabled(false);
    execute_->setEnabled(false);
    rescan_->setEnabled(false);
  });
}

}  // namespace fen
