// The main dialog's behaviour, shared by the Qt and the Win32 front ends.
#include "dialog/dialog_model.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "engine/identity_probe.h"
#include "engine/port_selection.h"
#include "engine/resource.h"
#include "engine/string_table.h"

namespace fen {

namespace {

// Once per process: the first "Execute" of a build with placeholder images warns first.
std::atomic<bool> g_placeholder_warned{false};

constexpr int kControlsOfARun[] = {IDC_MIDI_IN_LIST, IDC_MIDI_OUT_LIST, IDOK, IDC_RESCAN_DEVICE};

}  // namespace

std::string DialogModel::PlaceholderWarningText() {
  return std::string(kPlaceholderFirmwareNote) +
         "\nA device updated with them will not work until it is updated from a firmware "
         "release.\n\nUpdate the device anyway?";
}

void DialogModel::ResetPlaceholderWarning() { g_placeholder_warned.store(false); }

DialogModel::DialogModel(DialogWidgets& widgets, Options options)
    : widgets_(widgets),
      options_(std::move(options)),
      driver_(options_.services.driver ? *options_.services.driver : DefaultMidiDriver()),
      session_(*this, options_.services, options_.timing) {}

DialogModel::~DialogModel() { OnClose(); }

std::string DialogModel::Title() const {
  if (options_.instance == 1) return kProductTitle;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, kProductTitleNumbered, options_.instance);
  return buffer;
}

void DialogModel::Initialise() {
  FillPortLists();
  session_.Initialise();
  widgets_.SetProgressRange(100);
  widgets_.SetControlText(0, Title());
  widgets_.FocusControl(IDOK);
}

// ---------------------------------------------------------------------------------------
// Handlers (window thread).

void DialogModel::FillPortLists() {
  // The driver's lists are what the port classes' device indices refer to: re-read them so
  // that a device plugged in since the last fill is listed.
  driver_.Rescan();
  const std::vector<std::string> out_names = session_.out_port().GetDeviceNames();
  const std::vector<std::string> in_names = session_.in_port().GetDeviceNames();
  widgets_.SetListItems(IDC_MIDI_OUT_LIST, out_names);
  widgets_.SetListItems(IDC_MIDI_IN_LIST, in_names);
  const int out = SelectPreferredPort(out_names, options_.instance);
  const int in = SelectPreferredPort(in_names, options_.instance);
  widgets_.SelectListItem(IDC_MIDI_OUT_LIST, out);
  widgets_.SelectListItem(IDC_MIDI_IN_LIST, in);
  if (out_names.empty() || in_names.empty()) {
    ShowListNote(options_.midi_problem.empty() ? kNoMidiDeviceText : options_.midi_problem.c_str());
  } else if (out < 0 && in < 0 && SelectByAnswer()) {
    ShowListNote(kFoundByAnswerText);
  } else {
    ShowListNote(nullptr);
  }
}

bool DialogModel::SelectByAnswer() {
  // Windows MIDI Services, Wine and a renamed device name the ports otherwise; a port that
  // hands the request back is never taken for the device.
  const std::vector<IdentifiedPair> family =
      FamilyPairs(ProbeIdentities(driver_, options_.identify_wait_ms));
  if (static_cast<int>(family.size()) < options_.instance) return false;
  const IdentifiedPair& pair = family[static_cast<std::size_t>(options_.instance - 1)];
  widgets_.SelectListItem(IDC_MIDI_OUT_LIST, pair.out);
  widgets_.SelectListItem(IDC_MIDI_IN_LIST, pair.in);
  return true;
}

void DialogModel::ShowListNote(const char* note) {
  if (note != nullptr) {
    widgets_.SetControlText(IDC_STATUS_LINE, note);
    showing_list_note_ = true;
  } else if (showing_list_note_) {
    // Only the text put there for the lists: a run's own status line stays.
    widgets_.SetControlText(IDC_STATUS_LINE, "");
    showing_list_note_ = false;
  }
}

void DialogModel::OnExecute() {
  if (closing()) return;
  if (options_.placeholder_firmware && !g_placeholder_warned.load()) {
    const bool go_on = widgets_.ConfirmPlaceholder(PlaceholderWarningText(), Title());
    if (closing() || !go_on) return;
    g_placeholder_warned.store(true);
  }
  ++execute_depth_;
  session_.Execute(widgets_.SelectedListItem(IDC_MIDI_IN_LIST),
                   widgets_.SelectedListItem(IDC_MIDI_OUT_LIST));
  --execute_depth_;
  if (teardown_pending_ && execute_depth_ == 0) {
    teardown_pending_ = false;
    session_.Teardown();
  }
}

void DialogModel::OnRescanDevice() {
  if (closing()) return;
  FillPortLists();
  widgets_.EnableControl(IDOK, true);
}

void DialogModel::OnAbout() {
  if (closing()) return;
  widgets_.ShowAbout();
}

void DialogModel::OnClose() {
  {
    std::lock_guard<std::mutex> lock(calls_mutex_);
    if (closing_) return;
    closing_ = true;
  }
  calls_cv_.notify_all();
  widgets_.CloseBoxes();
  // Inside Execute (its error box was open) the session is released once that call returns.
  if (execute_depth_ > 0) {
    teardown_pending_ = true;
  } else {
    session_.Teardown();
  }
}

bool DialogModel::closing() const {
  std::lock_guard<std::mutex> lock(calls_mutex_);
  return closing_;
}

// ---------------------------------------------------------------------------------------
// View calls.

void DialogModel::RunOnWindowThread(std::function<void()> apply) {
  if (widgets_.OnWindowThread()) {
    if (!closing()) apply();
    return;
  }
  // Posted calls run in order, so the progress handed over before this call shows before it;
  // taking it here too keeps that order when its own call was posted before the last change.
  PostAndWait([this, apply = std::move(apply)](const std::function<void()>& done) {
    TakeProgress();
    apply();
    done();
  });
}

void DialogModel::PostAndWait(std::function<void(const std::function<void()>& done)> start) {
  struct Pending {
    bool done = false;
  };
  auto pending = std::make_shared<Pending>();
  {
    std::lock_guard<std::mutex> lock(calls_mutex_);
    if (closing_) return;
  }
  std::function<void()> done = [this, pending] {
    {
      std::lock_guard<std::mutex> lock(calls_mutex_);
      pending->done = true;
    }
    calls_cv_.notify_all();
  };
  // The model lives until the session's teardown has joined this thread, which needs closing_
  // set first: the posted call may use it. A call that runs after closing does nothing.
  widgets_.Post([this, start = std::move(start), done = std::move(done)] {
    if (closing()) {
      done();
      return;
    }
    start(done);
  });
  std::unique_lock<std::mutex> lock(calls_mutex_);
  calls_cv_.wait(lock, [&] { return pending->done || closing_; });
}

void DialogModel::PostProgress(const std::function<void(PendingProgress&)>& update) {
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(calls_mutex_);
    if (closing_) return;
    update(progress_);
    post = !progress_.posted;
    progress_.posted = true;
  }
  if (widgets_.OnWindowThread()) {
    TakeProgress();
  } else if (post) {
    widgets_.Post([this] { TakeProgress(); });
  }
}

void DialogModel::TakeProgress() {
  PendingProgress p;
  {
    std::lock_guard<std::mutex> lock(calls_mutex_);
    if (closing_) return;
    p = std::exchange(progress_, PendingProgress{});
  }
  if (p.status_line) {
    showing_list_note_ = false;
    widgets_.SetControlText(IDC_STATUS_LINE, *p.status_line);
  }
  if (p.step_counter) widgets_.SetControlText(IDC_STEP_COUNTER, *p.step_counter);
  if (p.range) widgets_.SetProgressRange(*p.range);
  if (p.position) widgets_.SetProgressPos(*p.position);
}

void DialogModel::SetStatusLine(const std::string& text) {
  PostProgress([&](PendingProgress& p) { p.status_line = text; });
}

void DialogModel::SetStepCounter(const std::string& text) {
  PostProgress([&](PendingProgress& p) { p.step_counter = text; });
}

void DialogModel::SetProgressRange(std::int32_t upper) {
  // A position still pending belongs to the last range.
  PostProgress([&](PendingProgress& p) {
    p.range = upper;
    p.position.reset();
  });
}

void DialogModel::SetProgressPos(std::int32_t position) {
  PostProgress([&](PendingProgress& p) { p.position = position; });
}

void DialogModel::ErrorBox(int string_id) { ShowErrorBox(LoadString(string_id)); }

void DialogModel::ErrorBoxWithDetail(int string_id, const std::string& detail) {
  ShowErrorBox(LoadString(string_id) + "\n\n" + detail);
}

void DialogModel::ShowErrorBox(const std::string& text) {
  const std::string caption = LoadString(IDS_ERROR_CAPTION);
  if (widgets_.OnWindowThread()) {
    if (!closing()) widgets_.ErrorBox(text, caption);
    return;
  }
  // The worker waits for the box to close; the window thread goes on processing events.
  PostAndWait([this, caption, text](const std::function<void()>& done) {
    TakeProgress();
    widgets_.OpenErrorBox(text, caption, done);
  });
}

void DialogModel::RestoreControls() {
  RunOnWindowThread([this] {
    for (int id : kControlsOfARun) widgets_.EnableControl(id, true);
  });
}

void DialogModel::EnableExecute(bool enable) {
  RunOnWindowThread([this, enable] { widgets_.EnableControl(IDOK, enable); });
}

void DialogModel::DisableControls() {
  RunOnWindowThread([this] {
    // The focus leaves the controls of a run for the status line, not for "Exit": Enter is
    // then the disabled default button's and does nothing, while on "Exit" it would close the
    // window and abort the run.
    const int focused = widgets_.FocusedControl();
    for (int id : kControlsOfARun) {
      if (id == focused) widgets_.FocusControl(IDC_STATUS_LINE);
    }
    for (int id : kControlsOfARun) widgets_.EnableControl(id, false);
  });
}

void DialogModel::RunEnded(UpdateResult result) {
  if (!on_run_ended_) return;
  RunOnWindowThread([this, result] { on_run_ended_(result); });
}

}  // namespace fen
