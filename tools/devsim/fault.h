// Faults the simulated device plays on request, and their textual form as the command-line
// tools accept it (`crc@5x3`, `late@7:1500`, `erase-status@1=5x7`, ...).
#pragma once

#include <string>
#include <vector>

namespace fen::devsim {

enum class FaultKind {
  kCrc,              // crc@B: Write Block answered 8, nothing written
  kFlash,            // flash@B: answered 3, nothing written
  kNoReply,          // noreply@B: dropped without a trace
  kLate,             // late@B:MS: written, answer sent MS ms late
  kStatus,           // status@B=V: answered V, nothing written
  kSilent,           // silent, silent@B: from then on nothing is answered or done
  kModel,            // model=ID: Identity Reply names ID
  kNotUpdateMode,    // not-update-mode: Begin Update answered 11
  kBeginStatus,      // begin-status=V
  kNoFinishReply,    // no-finish-reply
  kFinishStatus,     // finish-status=V
  kIdentityNoReply,  // identity-noreply
  kIdentityStatus,   // identity-status=V: Identity Request answered with a Status V
  kIdentityRequest,  // identity-request@B: the device asks the host who it is
  kVendorRequest,    // vendor-request@B=CMD: the device sends vendor command CMD to the host
  kEraseStatus,      // erase-status@S=V
  kEraseNoReply,     // erase-noreply@S
  kEraseLate,        // erase-late@S:MS
  // second-host@B: another host writes to the device too: when B arrives the device also
  // answers that host's block, a Status 0 this host did not ask for, before answering B
  kSecondHost,
};

struct Fault {
  FaultKind kind = FaultKind::kCrc;
  // Block number (0 to 1907, in plan order), erase step (1, 2, 4, 6 or 8), or -1 when the
  // fault is not aimed at one.
  int at = -1;
  int value = 0;     // status value, model ID or command byte
  int delay_ms = 0;  // late replies
  // How many arrivals of the aimed-at message the fault hits, one after the other; 0 for
  // every arrival. Defaults: 1 for faults aimed at a block or step, 0 for the others.
  int count = 1;
};

// Parses one fault. On failure returns false and says why in `error`.
bool ParseFault(const std::string& text, Fault* fault, std::string* error);

// Parses a list separated by commas or blanks ("crc@5, late@7:1500").
bool ParseFaults(const std::string& text, std::vector<Fault>* faults, std::string* error);

// The canonical text of a fault; ParseFault reads it back to the same fault.
std::string FaultToString(const Fault& fault);

// Several lines describing the grammar, for --help texts.
const char* FaultGrammarHelp();

}  // namespace fen::devsim
