// Windows: the About item in the window's system menu, and WM_SYSCOMMAND with ID 0x10 runs it.
#include <windows.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>

#include "ui/about_menu.h"
#include "ui/system_menu_win.h"

namespace fen {

namespace {

class AboutCommandFilter : public QAbstractNativeEventFilter {
 public:
  AboutCommandFilter(QWidget* window, std::function<void()> on_about)
      : window_(window), on_about_(std::move(on_about)) {}

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (window_.isNull() || type != "windows_generic_MSG") return false;
    const MSG* msg = static_cast<const MSG*>(message);
    if (!IsAboutCommand(*msg, reinterpret_cast<HWND>(window_->winId()))) return false;
    on_about_();
    return true;
  }

 private:
  QPointer<QWidget> window_;
  std::function<void()> on_about_;
};

}  // namespace

bool AppendAboutToSystemMenu(QWidget* window, const QString& text, std::function<void()> on_about) {
  if (!AppendAboutItem(reinterpret_cast<HWND>(window->winId()), text.toStdWString())) {
    return false;
  }
  // The filter lives as long as the application; it does nothing once the window is gone.
  QCoreApplication::instance()->installNativeEventFilter(
      new AboutCommandFilter(window, std::move(on_about)));
  return true;
}

}  // namespace fen
