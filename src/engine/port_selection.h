// Pre-selection of the device's ports by name, for a given instance number.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace fen {

// Instance numbers run from 1 to this: as many copies of the desktop program may run at once,
// and as many devices does the command-line tool look for, one per instance's port names.
inline constexpr int kMaxInstances = 20;

// The device's usual port names, in UTF-8.
inline const std::array<std::string, 3> PreferredPortNames = {
    "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
    "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9",  // USB オーディオ デバイス
    "USB Audio Device", "TARN PL Series"};

// The three preferred names for an instance: unchanged for 1, "name (n)" otherwise.
std::array<std::string, 3> PreferredNamesFor(int instance);

// The last item equal (byte for byte) to any preferred name of the instance; -1 when none.
int LastPreferredPort(const std::vector<std::string>& items, int instance);

// The list position that the dialog selects: LastPreferredPort, unless other items bear the
// same name: -1 then, for a name several ports answer to may lead to another program's port
// (and the firmware with it), so the user chooses.
int SelectPreferredPort(const std::vector<std::string>& items, int instance);

// Every list position whose item is `name`: more than one when several ports answer to one
// name (two programs' clients named alike on JACK or the ALSA sequencer), which a name alone
// then cannot choose between.
std::vector<int> PortsNamed(const std::vector<std::string>& items, const std::string& name);

}  // namespace fen
