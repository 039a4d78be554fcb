// The resources of Updater.exe itself, read from the built program: the dialog templates
// field by field, the string table against the portable one, the icon group, the version
// resource and the manifest.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/win32/child_process.h"
#include "updater/strings.h"
// After the project's headers (see windows_headers.h).
#include "platform/win32/windows_headers.h"

namespace r9 {
namespace {

const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);

class UpdaterResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string path = test::ExecutableFolder() + R9_UPDATER_FROM_TESTS;
    module_ = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  }
  static void TearDownTestSuite() {
    if (module_) FreeLibrary(module_);
  }
  void SetUp() override { ASSERT_NE(module_, nullptr) << "Updater.exe not found beside the tests"; }

  // The bytes of one resource in one language; empty when there is none.
  static std::vector<uint8_t> Resource(LPCSTR type, LPCSTR name, WORD language) {
    HRSRC info = FindResourceExA(module_, type, name, language);
    if (info == nullptr) return {};
    const auto* bytes = static_cast<const uint8_t*>(LockResource(LoadResource(module_, info)));
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(module_, info));
  }

  static HMODULE module_;
};
HMODULE UpdaterResources::module_ = nullptr;

// Reads an extended dialog template.
class TemplateReader {
 public:
  explicit TemplateReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  uint16_t Word() {
    uint16_t v = 0;
    if (at_ + 2 <= bytes_.size()) std::memcpy(&v, &bytes_[at_], 2);
    at_ += 2;
    return v;
  }
  uint32_t Dword() {
    uint32_t v = 0;
    if (at_ + 4 <= bytes_.size()) std::memcpy(&v, &bytes_[at_], 4);
    at_ += 4;
    return v;
  }
  uint8_t Byte() { return at_ < bytes_.size() ? bytes_[at_++] : (at_++, 0); }
  std::string String() {  // UTF-16 of ASCII text
    std::string s;
    for (uint16_t c = Word(); c != 0 && at_ <= bytes_.size(); c = Word()) s += char(c);
    return s;
  }
  // A name or an ordinal: "#n" for an ordinal.
  std::string NameOrOrdinal() {
    if (Peek() == 0xFFFF) {
      Word();
      return "#" + std::to_string(Word());
    }
    return String();
  }
  uint16_t Peek() const {
    uint16_t v = 0;
    if (at_ + 2 <= bytes_.size()) std::memcpy(&v, &bytes_[at_], 2);
    return v;
  }
  void AlignDword() { at_ = (at_ + 3) & ~size_t(3); }
  bool Overrun() const { return at_ > bytes_.size(); }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t at_ = 0;
};

struct Item {
  uint32_t exStyle, style;
  int16_t x, y, cx, cy;
  int32_t id;
  std::string cls, text;
};

struct Template {
  uint32_t exStyle, style;
  int16_t x, y, cx, cy;
  std::string menu, cls, caption;
  uint16_t points, weight;
  uint8_t italic, charset;
  std::string font;
  std::vector<Item> items;
};

std::string ClassName(std::string cls) {
  // The predefined classes are stored as atoms; a name compares without regard to case.
  if (cls == "#128") return "BUTTON";
  if (cls == "#129") return "EDIT";
  if (cls == "#130") return "STATIC";
  if (cls == "#133") return "COMBOBOX";
  for (char& c : cls) c = char(std::toupper(static_cast<unsigned char>(c)));
  return cls;
}

Template Parse(const std::vector<uint8_t>& bytes) {
  TemplateReader r(bytes);
  Template t{};
  EXPECT_EQ(r.Word(), 1) << "dlgVer";
  EXPECT_EQ(r.Word(), 0xFFFF) << "an extended template";
  r.Dword();  // help id
  t.exStyle = r.Dword();
  t.style = r.Dword();
  const uint16_t count = r.Word();
  t.x = int16_t(r.Word());
  t.y = int16_t(r.Word());
  t.cx = int16_t(r.Word());
  t.cy = int16_t(r.Word());
  t.menu = r.NameOrOrdinal();
  t.cls = r.NameOrOrdinal();
  t.caption = r.String();
  t.points = r.Word();
  t.weight = r.Word();
  t.italic = r.Byte();
  t.charset = r.Byte();
  t.font = r.String();
  for (uint16_t i = 0; i < count; ++i) {
    r.AlignDword();
    Item item{};
    r.Dword();  // help id
    item.exStyle = r.Dword();
    item.style = r.Dword();
    item.x = int16_t(r.Word());
    item.y = int16_t(r.Word());
    item.cx = int16_t(r.Word());
    item.cy = int16_t(r.Word());
    item.id = int32_t(r.Dword());
    item.cls = ClassName(r.NameOrOrdinal());
    item.text = r.NameOrOrdinal();
    const uint16_t extra = r.Word();
    for (uint16_t b = 0; b < extra; ++b) r.Byte();
    t.items.push_back(item);
  }
  EXPECT_FALSE(r.Overrun());
  return t;
}

void ExpectItems(const Template& t, const std::vector<Item>& expected) {
  ASSERT_EQ(t.items.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Item& a = t.items[i];
    const Item& e = expected[i];
    SCOPED_TRACE("control #" + std::to_string(i + 1) + " id " + std::to_string(e.id));
    EXPECT_EQ(a.id, e.id);
    EXPECT_EQ(a.cls, e.cls);
    EXPECT_EQ(a.text, e.text);
    EXPECT_EQ(a.x, e.x);
    EXPECT_EQ(a.y, e.y);
    EXPECT_EQ(a.cx, e.cx);
    EXPECT_EQ(a.cy, e.cy);
    EXPECT_EQ(a.style, e.style) << std::hex << a.style;
    EXPECT_EQ(a.exStyle, 0u);
  }
}

TEST_F(UpdaterResources, MainDialogTemplate) {
  const std::vector<uint8_t> bytes = Resource(MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(103), kEnglishUs);
  ASSERT_FALSE(bytes.empty()) << "template 103 in language 1033";
  const Template t = Parse(bytes);
  EXPECT_EQ(t.style, 0x90C800C0u);
  EXPECT_EQ(t.exStyle, 0x00040000u);
  EXPECT_EQ(t.x, 0);
  EXPECT_EQ(t.y, 0);
  EXPECT_EQ(t.cx, 239);
  EXPECT_EQ(t.cy, 161);
  EXPECT_EQ(t.menu, "");
  EXPECT_EQ(t.cls, "");
  EXPECT_EQ(t.caption, "");
  EXPECT_EQ(t.points, 9);
  EXPECT_EQ(t.weight, 0);
  EXPECT_EQ(t.italic, 0);
  EXPECT_EQ(t.charset, 1);
  EXPECT_EQ(t.font, "MS UI Gothic");
  ExpectItems(t, {
                     {0, 0x50010001, 119, 138, 50, 16, 1, "BUTTON", "Execute"},
                     {0, 0x50010000, 182, 138, 50, 16, 2, "BUTTON", "Exit"},
                     {0, 0x50020000, 7, 7, 225, 8, -1, "STATIC", "MIDI IN"},
                     {0, 0x50020000, 7, 37, 225, 8, -1, "STATIC", "MIDI OUT"},
                     {0, 0x50210003, 7, 15, 225, 115, 1000, "COMBOBOX", ""},
                     {0, 0x50210003, 7, 45, 225, 115, 1001, "COMBOBOX", ""},
                     {0, 0x50800000, 7, 107, 225, 14, 1002, "MSCTLS_PROGRESS32", ""},
                     {0, 0x50010880, 12, 91, 220, 12, 1003, "EDIT", ""},
                     {0, 0x50010001, 145, 65, 87, 16, 1004, "BUTTON", "Rescan Device"},
                     {0, 0x5000000E, 7, 134, 20, 20, 1005, "STATIC", ""},
                     {0, 0x50010880, 12, 78, 29, 12, 1006, "EDIT", ""},
                     {0, 0x50010000, 26, 140, 62, 14, 1007, "BUTTON", "Version Check"},
                 });
}

TEST_F(UpdaterResources, AboutBoxTemplate) {
  const std::vector<uint8_t> bytes = Resource(MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(100), kEnglishUs);
  ASSERT_FALSE(bytes.empty()) << "template 100 in language 1033";
  const Template t = Parse(bytes);
  EXPECT_EQ(t.style, 0x80C800C0u);
  EXPECT_EQ(t.exStyle, 0u);
  EXPECT_EQ(t.cx, 235);
  EXPECT_EQ(t.cy, 72);  // twelve units more than the classic box, for the logs' folder
  EXPECT_EQ(t.caption, "About KORVEN R9 Updater");
  EXPECT_EQ(t.points, 9);
  EXPECT_EQ(t.charset, 1);
  EXPECT_EQ(t.font, "MS UI Gothic");
  ASSERT_EQ(t.items.size(), 5u);
  const std::string notice = t.items[1].text;  // the wording is ours
  EXPECT_FALSE(notice.empty());
  ExpectItems(t, {
                     {0, 0x50000003, 11, 17, 20, 20, -1, "STATIC", "#128"},
                     {0, 0x50020000, 40, 44, 188, 8, -1, "STATIC", notice},
                     {0, 0x50030001, 178, 6, 50, 16, 1, "BUTTON", "OK"},
                     {0, 0x50010800, 39, 19, 134, 14, 1003, "EDIT", ""},
                     {0, 0x50010880, 40, 56, 188, 10, 1008, "EDIT", ""},
                 });
}

TEST_F(UpdaterResources, StringTableEqualsThePortableTable) {
  for (const StringEntry& entry : kStringTable) {
    SCOPED_TRACE(entry.symbol);
    char text[512] = {};
    const int length = LoadStringA(module_, UINT(entry.id), text, sizeof text);
    EXPECT_EQ(std::string(text, size_t(length > 0 ? length : 0)), entry.text);
    // In the English (United States) block of its sixteen.
    EXPECT_NE(FindResourceExA(module_, MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(entry.id / 16 + 1), kEnglishUs), nullptr);
  }
  char none[16] = {};
  EXPECT_EQ(LoadStringA(module_, 117, none, sizeof none), 0) << "no string beyond 116";
}

TEST_F(UpdaterResources, IconGroupHoldsNineImagesInOrder) {
  const std::vector<uint8_t> group = Resource(MAKEINTRESOURCEA(14), MAKEINTRESOURCEA(128), kJapanese);
  ASSERT_GE(group.size(), 6u) << "icon group 128 in language 1041";
  TemplateReader r(group);
  EXPECT_EQ(r.Word(), 0);
  EXPECT_EQ(r.Word(), 1);
  const uint16_t count = r.Word();
  ASSERT_EQ(count, 9);
  const int sizes[] = {48, 32, 16};
  const int depths[] = {4, 8, 24};
  for (int i = 0; i < 9; ++i) {
    SCOPED_TRACE("image " + std::to_string(i));
    const int size = sizes[i % 3];
    const int depth = depths[i / 3];
    const int width = r.Byte();
    const int height = r.Byte();
    const int colours = r.Byte();
    r.Byte();
    r.Word();  // planes
    const int bitCount = r.Word();
    r.Dword();
    const uint16_t id = r.Word();
    EXPECT_EQ(width, size);
    EXPECT_EQ(height, size);
    EXPECT_EQ(bitCount, depth);
    EXPECT_EQ(colours, depth == 4 ? 16 : 0);
    const std::vector<uint8_t> image = Resource(MAKEINTRESOURCEA(3), MAKEINTRESOURCEA(id), kJapanese);
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER header;
    std::memcpy(&header, image.data(), sizeof header);
    EXPECT_EQ(header.biWidth, size);
    EXPECT_EQ(header.biHeight, 2 * size);  // colour bits and mask
    EXPECT_EQ(header.biBitCount, depth);
  }
  // It loads as the window's icon.
  EXPECT_NE(LoadIconA(module_, MAKEINTRESOURCEA(128)), nullptr);
}

std::string VersionString(const std::vector<uint8_t>& info, const char* name) {
  char* value = nullptr;
  UINT length = 0;
  const std::string path = std::string("\\StringFileInfo\\041103a4\\") + name;
  if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || value == nullptr)
    return "<none>";
  return std::string(value);
}

TEST_F(UpdaterResources, VersionResource) {
  const std::string path = test::ExecutableFolder() + R9_UPDATER_FROM_TESTS;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  EXPECT_EQ(fixed->dwFileFlags, 0u);
  EXPECT_EQ(fixed->dwFileOS, DWORD(VOS__WINDOWS32));
  EXPECT_EQ(fixed->dwFileType, DWORD(VFT_APP));
  EXPECT_EQ(VersionString(info, "FileDescription"), "Updater");
  EXPECT_EQ(VersionString(info, "InternalName"), "Updater.exe");
  EXPECT_EQ(VersionString(info, "ProductName"), "R9");
  EXPECT_EQ(VersionString(info, "FileVersion"), "1,0,0,0");
  EXPECT_EQ(VersionString(info, "ProductVersion"), "1,0,0,0");
  EXPECT_NE(VersionString(info, "CompanyName"), "<none>");
  EXPECT_NE(VersionString(info, "LegalCopyright"), "<none>");
}

TEST_F(UpdaterResources, ManifestAsksForNothingMore) {
  HRSRC info = FindResourceA(module_, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(info, nullptr);
  const char* text = static_cast<const char*>(LockResource(LoadResource(module_, info)));
  const std::string manifest(text, SizeofResource(module_, info));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
  EXPECT_EQ(manifest.find("Common-Controls"), std::string::npos) << "classic controls: no version 6";
  EXPECT_EQ(manifest.find("dependency"), std::string::npos);
}

TEST_F(UpdaterResources, CarriesTheSixImages) {
  for (int id : {129, 133, 136, 139, 142, 147}) {
    EXPECT_NE(FindResourceA(module_, MAKEINTRESOURCEA(id), "BIN"), nullptr) << id;
  }
}

}  // namespace
}  // namespace r9
