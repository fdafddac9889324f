// The fault grammar: NAME[@AT][:MS][=VALUE][xCOUNT], checked against what each fault needs.
#include "devsim/fault.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "devsim/update_plan.h"

namespace fen::devsim {

namespace {

enum class Target { kNone, kOptionalBlock, kBlock, kEraseStep };

struct FaultSyntax {
  FaultKind kind;
  const char* name;
  Target target;
  bool delay;
  const char* value;  // what the value names, or nullptr when the fault takes none
  int default_count;
};

constexpr FaultSyntax kSyntax[] = {
    {FaultKind::kCrc, "crc", Target::kBlock, false, nullptr, 1},
    {FaultKind::kFlash, "flash", Target::kBlock, false, nullptr, 1},
    {FaultKind::kNoReply, "noreply", Target::kBlock, false, nullptr, 1},
    {FaultKind::kLate, "late", Target::kBlock, true, nullptr, 1},
    {FaultKind::kStatus, "status", Target::kBlock, false, "status value", 1},
    {FaultKind::kSilent, "silent", Target::kOptionalBlock, false, nullptr, 0},
    {FaultKind::kModel, "model", Target::kNone, false, "model ID", 0},
    {FaultKind::kNotUpdateMode, "not-update-mode", Target::kNone, false, nullptr, 0},
    {FaultKind::kBeginStatus, "begin-status", Target::kNone, false, "status value", 0},
    {FaultKind::kNoFinishReply, "no-finish-reply", Target::kNone, false, nullptr, 0},
    {FaultKind::kFinishStatus, "finish-status", Target::kNone, false, "status value", 0},
    {FaultKind::kIdentityNoReply, "identity-noreply", Target::kNone, false, nullptr, 0},
    {FaultKind::kIdentityStatus, "identity-status", Target::kNone, false, "status value", 0},
    {FaultKind::kIdentityRequest, "identity-request", Target::kBlock, false, nullptr, 1},
    {FaultKind::kVendorRequest, "vendor-request", Target::kBlock, false, "command", 1},
    {FaultKind::kEraseStatus, "erase-status", Target::kEraseStep, false, "status value", 1},
    {FaultKind::kEraseNoReply, "erase-noreply", Target::kEraseStep, false, nullptr, 1},
    {FaultKind::kEraseLate, "erase-late", Target::kEraseStep, true, nullptr, 1},
    {FaultKind::kSecondHost, "second-host", Target::kBlock, false, nullptr, 1},
};

constexpr int kMaxDelayMs = 10 * 60 * 1000;
constexpr int kMaxCount = 1000000;

const FaultSyntax* FindSyntax(const std::string& name) {
  for (const FaultSyntax& s : kSyntax) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

const FaultSyntax& SyntaxOf(FaultKind kind) {
  for (const FaultSyntax& s : kSyntax) {
    if (s.kind == kind) return s;
  }
  return kSyntax[0];
}

std::string KnownNames() {
  std::string names;
  for (const FaultSyntax& s : kSyntax) {
    if (!names.empty()) names += ", ";
    names += s.name;
  }
  return names;
}

// Reads a decimal or 0x-prefixed hexadecimal number at `pos`; false when there is none or it
// does not fit. Leaves `pos` after the number.
bool ReadNumber(const std::string& text, std::size_t* pos, long long* value) {
  std::size_t p = *pos;
  int base = 10;
  if (p + 1 < text.size() && text[p] == '0' && (text[p + 1] == 'x' || text[p + 1] == 'X') &&
      p + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[p + 2]))) {
    base = 16;
    p += 2;
  }
  const std::size_t start = p;
  long long v = 0;
  while (p < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[p]);
    int digit;
    if (std::isdigit(c)) {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      digit = std::tolower(c) - 'a' + 10;
    } else {
      break;
    }
    v = v * base + digit;
    if (v > 0x7FFFFFFF) return false;
    ++p;
  }
  if (p == start) return false;
  *pos = p;
  *value = v;
  return true;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string Usage(const FaultSyntax& s) {
  std::string u = s.name;
  if (s.target == Target::kBlock) u += "@BLOCK";
  if (s.target == Target::kOptionalBlock) u += "[@BLOCK]";
  if (s.target == Target::kEraseStep) u += "@STEP";
  if (s.delay) u += ":MS";
  if (s.value != nullptr) u += s.kind == FaultKind::kModel ? "=ID" : "=VALUE";
  u += "[xCOUNT]";
  return u;
}

std::string Hex(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(v));
  return buf;
}

}  // namespace

bool ParseFault(const std::string& input, Fault* fault, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = "fault " + Quote(input) + ": " + why;
    return false;
  };
  std::size_t b = 0;
  std::size_t e = input.size();
  while (b < e && std::isspace(static_cast<unsigned char>(input[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(input[e - 1]))) --e;
  const std::string text = input.substr(b, e - b);
  if (text.empty()) return fail("empty");

  std::size_t pos = 0;
  while (pos < text.size() &&
         (std::islower(static_cast<unsigned char>(text[pos])) || text[pos] == '-')) {
    ++pos;
  }
  std::string name = text.substr(0, pos);
  const FaultSyntax* syntax = FindSyntax(name);
  // A count straight after a name ("not-update-modex2"): the name took the 'x'.
  if (syntax == nullptr && name.size() > 1 && name.back() == 'x' && pos < text.size() &&
      std::isdigit(static_cast<unsigned char>(text[pos]))) {
    syntax = FindSyntax(name.substr(0, name.size() - 1));
    if (syntax != nullptr) {
      name.pop_back();
      --pos;
    }
  }
  if (syntax == nullptr) {
    return fail("unknown fault " + Quote(name.empty() ? text : name) + " (known: " + KnownNames() +
                ")");
  }
  const std::string usage = " (usage: " + Usage(*syntax) + ")";

  Fault f;
  f.kind = syntax->kind;
  f.count = syntax->default_count;
  bool has_at = false, has_delay = false, has_value = false;
  long long n = 0;

  if (pos < text.size() && text[pos] == '@') {
    ++pos;
    if (syntax->target == Target::kNone) return fail(name + " is not aimed at a block" + usage);
    if (!ReadNumber(text, &pos, &n)) return fail("a number must follow '@'" + usage);
    has_at = true;
    if (syntax->target == Target::kEraseStep) {
      bool erase_step = false;
      for (const PlanRow& row : UpdatePlan()) erase_step |= !row.write && row.step == n;
      if (!erase_step) {
        return fail("step " + std::to_string(n) + " is not an erase step (erase steps are 1, 2, " +
                    "4, 6 and 8)");
      }
    } else if (n >= PlanBlockCount()) {
      return fail("block " + std::to_string(n) + " is past the last block " +
                  std::to_string(PlanBlockCount() - 1));
    }
    f.at = static_cast<int>(n);
  }
  if (pos < text.size() && text[pos] == ':') {
    ++pos;
    if (!syntax->delay) return fail(name + " takes no delay" + usage);
    if (!ReadNumber(text, &pos, &n) || n > kMaxDelayMs) {
      return fail("a delay in ms from 0 to " + std::to_string(kMaxDelayMs) + " must follow ':'" +
                  usage);
    }
    has_delay = true;
    f.delay_ms = static_cast<int>(n);
  }
  if (pos < text.size() && text[pos] == '=') {
    ++pos;
    if (syntax->value == nullptr) return fail(name + " takes no value" + usage);
    if (!ReadNumber(text, &pos, &n)) return fail("a number must follow '='" + usage);
    const bool command = f.kind == FaultKind::kVendorRequest;
    if (command ? (n < 1 || n > 0x7F) : n > 0x7F) {
      return fail(
          std::string("the ") + syntax->value + " " + std::to_string(n) +
          (command ? " is not a command from 0x01 to 0x7F" : " does not fit 7 bits (0 to 127)"));
    }
    has_value = true;
    f.value = static_cast<int>(n);
  }
  if (pos < text.size() && (text[pos] == 'x' || text[pos] == 'X')) {
    ++pos;
    if (!ReadNumber(text, &pos, &n) || n > kMaxCount) {
      return fail("a count from 0 (every arrival) to " + std::to_string(kMaxCount) +
                  " must follow 'x'" + usage);
    }
    f.count = static_cast<int>(n);
  }
  if (pos != text.size()) return fail("unexpected " + Quote(text.substr(pos)) + usage);
  if ((syntax->target == Target::kBlock || syntax->target == Target::kEraseStep) && !has_at) {
    return fail(std::string("needs ") +
                (syntax->target == Target::kBlock ? "a block number" : "an erase step") + usage);
  }
  if (syntax->delay && !has_delay) return fail("needs a delay in ms" + usage);
  if (syntax->value != nullptr && !has_value) {
    return fail(std::string("needs a ") + syntax->value + usage);
  }
  *fault = f;
  return true;
}

bool ParseFaults(const std::string& text, std::vector<Fault>* faults, std::string* error) {
  std::vector<Fault> parsed;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find_first_of(", \t\n", pos);
    const std::string item = text.substr(pos, end == std::string::npos ? end : end - pos);
    if (!item.empty()) {
      Fault f;
      if (!ParseFault(item, &f, error)) return false;
      parsed.push_back(f);
    }
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  faults->insert(faults->end(), parsed.begin(), parsed.end());
  return true;
}

std::string FaultToString(const Fault& fault) {
  const FaultSyntax& s = SyntaxOf(fault.kind);
  std::string text = s.name;
  if (fault.at >= 0) text += "@" + std::to_string(fault.at);
  if (s.delay) text += ":" + std::to_string(fault.delay_ms);
  if (s.value != nullptr) {
    text += "=" + (fault.kind == FaultKind::kModel || fault.kind == FaultKind::kVendorRequest
                       ? Hex(fault.value)
                       : std::to_string(fault.value));
  }
  if (fault.count != s.default_count) text += "x" + std::to_string(fault.count);
  return text;
}

const char* FaultGrammarHelp() {
  return "Faults (BLOCK = 0..1907 in the order the update writes them, STEP = erase step 1, 2, 4,\n"
         "6 or 8; xCOUNT = how many arrivals in a row it hits, x0 every arrival; default 1 for\n"
         "BLOCK/STEP faults and every arrival for the others; numbers decimal or 0x hex):\n"
         "  crc@BLOCK            answer 8 (CRC mismatch), write nothing\n"
         "  flash@BLOCK          answer 3 (flash write failed), write nothing\n"
         "  noreply@BLOCK        drop the block silently\n"
         "  late@BLOCK:MS        write the block, answer MS ms late\n"
         "  status@BLOCK=V       answer status V, write nothing\n"
         "  silent[@BLOCK]       from then on answer nothing (a vanished device)\n"
         "  model=ID             Identity Reply names model ID\n"
         "  identity-noreply     leave the Identity Request unanswered\n"
         "  identity-status=V    answer the Identity Request with a Status V\n"
         "  not-update-mode      answer Begin Update with 11\n"
         "  begin-status=V       answer Begin Update with V\n"
         "  no-finish-reply      leave Finish Update unanswered\n"
         "  finish-status=V      answer Finish Update with V\n"
         "  identity-request@BLOCK      ask the host for its identity when BLOCK arrives\n"
         "  vendor-request@BLOCK=CMD    send vendor command CMD to the host when BLOCK arrives\n"
         "  erase-status@STEP=V  answer the erase with V, erase nothing\n"
         "  erase-noreply@STEP   drop the erase silently\n"
         "  erase-late@STEP:MS   erase, answer MS ms late\n"
         "  second-host@BLOCK    play a second host writing too: answer its block (a Status 0\n"
         "                       this host did not ask for) before answering BLOCK\n"
         "Examples: crc@5x3 flash@10x7 late@7:1500 status@9=42 erase-status@1=5x7\n";
}

}  // namespace fen::devsim
