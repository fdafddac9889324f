// The desktop program on Windows: start-up as CFenUpdatorApp's instance start-up does it. The
// common controls, the first free instance number of 20 (named mutexes), the firmware images
// from the program's own resources of type "BIN", then the main dialog, run modally. A product
// build reads no command line and no environment.
#include <map>
#include <memory>
#include <string>

#include "app/instance_search.h"
#include "firmware/firmware.h"
#include "firmware/release.h"
#include "ui/fen_updator_dlg_win.h"
#ifdef FEN_WIN32_TEST_SWITCHES
#include "app/test_switches_win.h"
#endif

#include <commctrl.h>

namespace {

// The image of one "BIN" resource of this program, or an empty one.
fen::FirmwareImage BinResource(HINSTANCE instance, int id) {
  HRSRC found = ::FindResourceW(instance, MAKEINTRESOURCEW(id), L"BIN");
  if (found == nullptr) return {};
  HGLOBAL loaded = ::LoadResource(instance, found);
  if (loaded == nullptr) return {};
  const void* data = ::LockResource(loaded);
  return {static_cast<const std::uint8_t*>(data), ::SizeofResource(instance, found)};
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&controls);

  fen::InstanceClaim claim = fen::ClaimInstanceNumber();
  if (claim.number == 0) {
    const std::string text = claim.problem.empty() ? fen::TooManyInstancesText()
                                                   : fen::InstanceLockProblemText(claim.problem);
    ::MessageBoxW(nullptr, fen::Widen(text).c_str(), L"fenupdator", MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }

  std::map<int, fen::FirmwareImage> images;
  for (const fen::FirmwareImageInfo& image : fen::FirmwareImageTable()) {
    images[image.resource_id] = BinResource(instance, image.resource_id);
  }
  const fen::FirmwareSet firmware = fen::FirmwareSet::FromImages(images);

  fen::DialogModel::Options options;
  options.instance = claim.number;
  options.services.firmware = &firmware;
  options.services.release_models = fen::BuiltinRelease().models;
  options.placeholder_firmware = fen::FirmwareSet::BuiltinIsPlaceholder();
#ifdef FEN_WIN32_TEST_SWITCHES
  fen::TestSwitches test(options);
#endif
  {
    fen::CFenUpdatorDlgWin dialog(instance, std::move(options));
    dialog.DoModal();
#ifdef FEN_WIN32_TEST_SWITCHES
    test.Finished(dialog.model().session());
#endif
  }
  // The instance mutex stays held until the process ends.
  claim.lock.release();
  return 0;
}
