// Port claims on Windows: one named mutex per device key in the global namespace, so that
// every session and user sees it (creating a mutex there needs no privilege). The claim is the
// name's existence: the creator that did not get ERROR_ALREADY_EXISTS holds it, and the system
// closes the handle, and so frees the name, when the process ends in any way. Who holds it is
// written beside it in a small named section (global where the account may create one, else
// the session's), which the refused run reads.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "platform/port_claim.h"
#include "platform/windows_text.h"

namespace fen {

namespace {

struct HolderRecord {
  DWORD pid;
  char program[64];
};

std::string ProgramName() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name(path, n);
  const std::size_t slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name.erase(0, slash + 1);
  char utf8[64] = {};
  ::WideCharToMultiByte(CP_UTF8, 0, name.c_str(), -1, utf8, sizeof utf8 - 1, nullptr, nullptr);
  return utf8;
}

}  // namespace

struct PortClaim::Held {
  HANDLE mutex = nullptr;
  HANDLE section = nullptr;
  ~Held() {
    if (section != nullptr) ::CloseHandle(section);
    if (mutex != nullptr) ::CloseHandle(mutex);
  }
};

std::unique_ptr<PortClaim> PortClaim::Take(const std::vector<std::string>& keys,
                                           ClaimHolder* holder) {
  std::unique_ptr<PortClaim> claim(new PortClaim());
  for (const std::string& key : Distinct(keys)) {
    const std::wstring name = Utf8ToWide(SystemName(key));
    auto held = std::make_unique<Held>();
    held->mutex = ::CreateMutexW(nullptr, FALSE, (L"Global\\" + name).c_str());
    const DWORD error = ::GetLastError();
    if (held->mutex == nullptr || error == ERROR_ALREADY_EXISTS) {
      *holder = ClaimHolder{key, "", 0};
      if (held->mutex == nullptr && error != ERROR_ACCESS_DENIED) {
        holder->program = "cannot claim: error " + std::to_string(error);
        return nullptr;
      }
      // ERROR_ACCESS_DENIED: another user's process made the name.
      for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
        HANDLE section =
            ::OpenFileMappingW(FILE_MAP_READ, FALSE, (space + name + L".holder").c_str());
        if (section == nullptr) continue;
        if (const void* view =
                ::MapViewOfFile(section, FILE_MAP_READ, 0, 0, sizeof(HolderRecord))) {
          HolderRecord record{};
          std::memcpy(&record, view, sizeof record);
          record.program[sizeof record.program - 1] = '\0';
          holder->pid = static_cast<long>(record.pid);
          holder->program = record.program;
          ::UnmapViewOfFile(view);
        }
        ::CloseHandle(section);
        break;
      }
      return nullptr;
    }
    for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
      held->section =
          ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                               sizeof(HolderRecord), (space + name + L".holder").c_str());
      if (held->section != nullptr) break;
    }
    if (held->section != nullptr) {
      if (void* view = ::MapViewOfFile(held->section, FILE_MAP_WRITE, 0, 0, sizeof(HolderRecord))) {
        HolderRecord record{};
        record.pid = ::GetCurrentProcessId();
        const std::string program = ProgramName();
        std::memcpy(record.program, program.c_str(),
                    std::min(program.size(), sizeof record.program - 1));
        std::memcpy(view, &record, sizeof record);
        ::UnmapViewOfFile(view);
      }
    }
    claim->held_.push_back(std::move(held));
  }
  return claim;
}

PortClaim::~PortClaim() = default;

long CurrentProcessId() { return static_cast<long>(::GetCurrentProcessId()); }

}  // namespace fen
