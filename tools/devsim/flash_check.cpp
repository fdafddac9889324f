// The checks against a firmware set, kept apart so that only their users link the images.
#include "devsim/sim_device.h"

namespace fen::devsim {

ImageLookup LookupIn(const FirmwareSet& images) {
  return [&images](int resource_id) { return images.Find(resource_id); };
}

Report SimDevice::GetReport(const FirmwareSet& images) const { return GetReport(LookupIn(images)); }

FlashCheck SimDevice::CheckFlash(const FirmwareSet& images) const {
  return CheckFlash(LookupIn(images));
}

bool SimDevice::FlashHoldsImages(const FirmwareSet& images) const {
  return CheckFlash(images).holds_images;
}

}  // namespace fen::devsim
