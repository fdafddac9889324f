// The resources of fenupdator.exe read back as Windows reads them: templates 103 and 100
// against the one layout, the string table against the engine's texts, icon group 128, the
// manifest, and the four "BIN" images against the built-in ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "dialog/dialog_layout.h"
#include "firmware/firmware.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#undef LoadString
#include "engine/string_table.h"

namespace fen {
namespace {

struct Module {
  explicit Module(const char* path = FEN_PRODUCT_EXE) {
    handle =
        ::LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  }
  ~Module() {
    if (handle != nullptr) ::FreeLibrary(handle);
  }
  // The bytes of a resource, empty when missing.
  std::vector<std::uint8_t> Bytes(LPCWSTR type, int id) const {
    HRSRC found = ::FindResourceW(handle, MAKEINTRESOURCEW(id), type);
    if (found == nullptr) return {};
    const auto* data =
        static_cast<const std::uint8_t*>(::LockResource(::LoadResource(handle, found)));
    return {data, data + ::SizeofResource(handle, found)};
  }
  HMODULE handle = nullptr;
};

// Reads a DLGTEMPLATEEX.
class TemplateReader {
 public:
  explicit TemplateReader(const std::vector<std::uint8_t>& bytes) : b_(bytes) {}
  std::uint16_t Word() {
    std::uint16_t v;
    std::memcpy(&v, &b_.at(pos_ + 1) - 1, 2);
    pos_ += 2;
    return v;
  }
  std::uint32_t Dword() {
    const std::uint32_t low = Word();
    return low | (static_cast<std::uint32_t>(Word()) << 16);
  }
  std::int16_t Short() { return static_cast<std::int16_t>(Word()); }
  // A string or an ordinal ("#128").
  std::string SzOrOrd() {
    const std::uint16_t first = Word();
    if (first == 0xFFFF) return "#" + std::to_string(Word());
    std::wstring text;
    for (std::uint16_t c = first; c != 0; c = Word()) text.push_back(static_cast<wchar_t>(c));
    return std::string(text.begin(), text.end());
  }
  // A window class: a name (the resource compiler writes it in capitals) or a standard
  // class's ordinal.
  std::string WindowClass() {
    std::string name = SzOrOrd();
    static const char* kClasses[] = {"BUTTON",  "EDIT",      "STATIC",
                                     "LISTBOX", "SCROLLBAR", "COMBOBOX"};
    for (int ord = 0x80; ord <= 0x85; ++ord) {
      if (name == "#" + std::to_string(ord)) return kClasses[ord - 0x80];
    }
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
  }
  void AlignDword() { pos_ = (pos_ + 3) & ~std::size_t{3}; }
  bool AtEnd() const { return pos_ >= b_.size(); }

 private:
  const std::vector<std::uint8_t>& b_;
  std::size_t pos_ = 0;
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

struct Item {
  int id;
  std::string window_class;
  std::string text;
  int x, y, cx, cy;
  std::uint32_t style;
  bool operator==(const Item&) const = default;
};
void PrintTo(const Item& i, std::ostream* out) {
  *out << i.id << " " << i.window_class << " '" << i.text << "' " << i.x << "," << i.y << ","
       << i.cx << "," << i.cy << " 0x" << std::hex << i.style << std::dec;
}

struct Template {
  std::uint32_t style = 0, ex_style = 0;
  int cx = 0, cy = 0;
  std::string caption, face;
  int points = 0, weight = 0, charset = 0;
  std::vector<Item> items;
};

Template ReadTemplate(const std::vector<std::uint8_t>& bytes) {
  TemplateReader r(bytes);
  Template t;
  EXPECT_EQ(r.Word(), 1);       // version
  EXPECT_EQ(r.Word(), 0xFFFF);  // extended
  r.Dword();                    // help ID
  t.ex_style = r.Dword();
  t.style = r.Dword();
  const int count = r.Word();
  r.Short();
  r.Short();
  t.cx = r.Short();
  t.cy = r.Short();
  EXPECT_EQ(r.SzOrOrd(), "");  // no menu
  EXPECT_EQ(r.SzOrOrd(), "");  // the dialog class
  t.caption = r.SzOrOrd();
  t.points = r.Word();
  t.weight = r.Word();
  r.Word();  // italic, charset
  t.charset = 1;
  t.face = r.SzOrOrd();
  for (int i = 0; i < count; ++i) {
    r.AlignDword();
    Item item;
    r.Dword();  // help ID
    r.Dword();  // extended style
    item.style = r.Dword();
    item.x = r.Short();
    item.y = r.Short();
    item.cx = r.Short();
    item.cy = r.Short();
    item.id = static_cast<std::int32_t>(r.Dword());
    item.window_class = r.WindowClass();
    item.text = r.SzOrOrd();
    const int extra = r.Word();
    for (int k = 0; k < extra; k += 2) r.Word();
    t.items.push_back(item);
  }
  return t;
}

#define FEN_EXPECTED_ITEM(id, kind, text, resource_text, window_class, x, y, cx, cy, style) \
  Item{id, Upper(window_class), text, x, y, cx, cy, style},

TEST(Win32Resources, Template103IsTheMainDialogOfTheLayout) {
  Module exe;
  ASSERT_NE(exe.handle, nullptr);
  const Template t = ReadTemplate(exe.Bytes(MAKEINTRESOURCEW(5), IDD_FENUPDATOR_DIALOG));
  EXPECT_EQ(t.style, 0x90C800C0u);
  EXPECT_EQ(t.ex_style, 0x40000u);
  EXPECT_EQ(t.cx, 239);
  EXPECT_EQ(t.cy, 161);
  EXPECT_EQ(t.caption, "");
  EXPECT_EQ(t.face, "MS UI Gothic");
  EXPECT_EQ(t.points, 9);
  const std::vector<Item> expected = {FEN_MAIN_DIALOG_CONTROLS(FEN_EXPECTED_ITEM)};
  EXPECT_EQ(t.items, expected);
  EXPECT_EQ(t.items.at(0).text, "Execute");
  EXPECT_EQ(t.items.at(6).window_class, "MSCTLS_PROGRESS32");
}

TEST(Win32Resources, Template100IsTheAboutBoxWithIcon128) {
  Module exe;
  const Template t = ReadTemplate(exe.Bytes(MAKEINTRESOURCEW(5), IDD_ABOUTBOX));
  EXPECT_EQ(t.style, 0x80C800C0u);
  EXPECT_EQ(t.cx, 235);
  EXPECT_EQ(t.cy, 60);
  EXPECT_EQ(t.caption, "About PL-33QV Updater");
  ASSERT_EQ(t.items.size(), 3u);
  EXPECT_EQ(t.items[0], (Item{-1, "STATIC", "#128", 11, 17, 20, 20, 0x50000003}));
  EXPECT_EQ(t.items[1], (Item{1, "BUTTON", "OK", 178, 7, 50, 16, 0x50030001}));
  EXPECT_EQ(t.items[2], (Item{1003, "EDIT", "", 39, 19, 134, 14, 0x50010800}));
}

TEST(Win32Resources, TheStringTableHoldsTheEnginesTexts) {
  Module exe;
  for (int id = 101; id <= IDS_OTHER_HOST; ++id) {
    wchar_t buffer[256] = {};
    const int n = ::LoadStringW(exe.handle, static_cast<UINT>(id), buffer, 256);
    const std::wstring wide(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(std::string(wide.begin(), wide.end()), LoadString(id)) << "string " << id;
  }
}

TEST(Win32Resources, IconGroup128HoldsNineImagesInThreeSizesAndDepths) {
  Module exe;
  const std::vector<std::uint8_t> group = exe.Bytes(MAKEINTRESOURCEW(14), IDR_MAINFRAME);
  ASSERT_GE(group.size(), 6u);
  const int count = group[4] | group[5] << 8;
  ASSERT_EQ(count, 9);
  std::vector<std::pair<int, int>> images;  // size, bits
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* e = group.data() + 6 + 14 * i;
    images.push_back({e[0], e[6] | e[7] << 8});
  }
  const std::vector<std::pair<int, int>> expected = {{48, 4},  {48, 8}, {48, 24}, {32, 4}, {32, 8},
                                                     {32, 24}, {16, 4}, {16, 8},  {16, 24}};
  EXPECT_EQ(images, expected);
}

TEST(Win32Resources, TheManifestAsksForTheUsersRightsCommonControls6AndPerMonitorDpi) {
  Module exe;
  const std::vector<std::uint8_t> bytes = exe.Bytes(MAKEINTRESOURCEW(24), 1);
  const std::string manifest(bytes.begin(), bytes.end());
  EXPECT_NE(manifest.find(R"(level="asInvoker" uiAccess="false")"), std::string::npos);
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(manifest.find(R"(version="6.0.0.0")"), std::string::npos);
  EXPECT_NE(manifest.find("PerMonitorV2"), std::string::npos);
}

TEST(Win32Resources, TheCommandLineToolAsksForUtf8AsItsCodePage) {
  Module exe(FEN_CLI_EXE);
  const std::vector<std::uint8_t> bytes = exe.Bytes(MAKEINTRESOURCEW(24), 1);
  const std::string manifest(bytes.begin(), bytes.end());
  EXPECT_NE(manifest.find(">UTF-8</activeCodePage>"), std::string::npos) << manifest;
  EXPECT_NE(manifest.find(R"(level="asInvoker")"), std::string::npos);
}

TEST(Win32Resources, TheFourBinImagesAreTheBuiltInOnesByteForByte) {
  Module exe;
  for (const FirmwareImageInfo& info : FirmwareImageTable()) {
    const std::vector<std::uint8_t> bytes = exe.Bytes(L"BIN", info.resource_id);
    ASSERT_EQ(bytes.size(), info.size) << "image " << info.resource_id;
    const FirmwareImage builtin = FirmwareSet::Builtin().Find(info.resource_id);
    ASSERT_EQ(builtin.size, info.size);
    EXPECT_EQ(std::memcmp(bytes.data(), builtin.data, info.size), 0)
        << "image " << info.resource_id;
  }
}

TEST(Win32Resources, TheVersionIsTheProjects) {
  Module exe;
  const std::vector<std::uint8_t> bytes = exe.Bytes(MAKEINTRESOURCEW(16), 1);
  ASSERT_FALSE(bytes.empty());
  // VS_FIXEDFILEINFO follows the key "VS_VERSION_INFO" at its signature.
  const std::uint8_t signature[] = {0xBD, 0x04, 0xEF, 0xFE};
  const auto at =
      std::search(bytes.begin(), bytes.end(), std::begin(signature), std::end(signature));
  ASSERT_NE(at, bytes.end());
  std::uint32_t ms = 0;
  std::memcpy(&ms, &*(at + 8), 4);
  EXPECT_EQ(ms >> 16, 2u);
}

}  // namespace
}  // namespace fen
