// Port claim seam: a run's hold on the device behind its MIDI ports, system-wide (every user,
// every program, every MIDI system), so that no second run writes the same flash at the same
// time. Released when the object goes and, whatever way the process ends, by the system.
// Linux: an abstract Unix socket per device (port_claim_posix.cpp); Windows: a named mutex in
// the global namespace (port_claim_win.cpp).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace fen {

// Who holds a claim that was refused.
struct ClaimHolder {
  std::string key;      // the device key that was held
  std::string program;  // the holder's program name; empty when the system does not tell
  long pid = 0;         // its process ID; 0 when the system does not tell
};

// This process's ID, as a holder's is told.
long CurrentProcessId();

// "fenupdator-cli (process 1234)", "another program (process unknown)".
std::string DescribeHolder(const ClaimHolder& holder);

class PortClaim {
 public:
  // Claims every key (a device key, as MidiDriver gives it; duplicates are claimed once).
  // Null when another process (or another run of this one) holds one of them: `holder` then
  // says which and who; nothing stays claimed. Null also when the system refuses to make the
  // claim; `holder->program` then says why and pid is 0.
  static std::unique_ptr<PortClaim> Take(const std::vector<std::string>& keys, ClaimHolder* holder);
  ~PortClaim();
  PortClaim(const PortClaim&) = delete;
  PortClaim& operator=(const PortClaim&) = delete;

  // The name under which the system keeps a key's claim (tests, troubleshooting).
  static std::string SystemName(const std::string& key);

 private:
  struct Held;
  PortClaim() = default;
  // The keys once each, in one order for every process, so that two claimants of the same
  // keys meet at the first.
  static std::vector<std::string> Distinct(std::vector<std::string> keys);
  std::vector<std::unique_ptr<Held>> held_;
};

}  // namespace fen
