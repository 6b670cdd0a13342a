// Checks the compiled resources of the test program itself, which is linked
// with the same ventrix.rc as the product: the dialog templates byte for byte,
// icon and bitmap formats, the tray menu, the manifest and the version block.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "policy/win32/event_log_audit.h"
#include "resources/resource.h"
#include "tests/windows/build_arch.h"

namespace {

HMODULE self() { return GetModuleHandleA(nullptr); }

// Raw bytes of one resource of the test program, empty when it is missing.
std::vector<BYTE> resourceBytes(LPCSTR type, WORD id) {
  HRSRC found = FindResourceA(self(), MAKEINTRESOURCEA(id), type);
  if (!found) return {};
  HGLOBAL loaded = LoadResource(self(), found);
  const BYTE* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  if (!data) return {};
  return std::vector<BYTE>(data, data + SizeofResource(self(), found));
}

std::string narrow(const std::wstring& wide) {
  std::string out;
  for (wchar_t c : wide) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// Little-endian reader over a resource; reading past the end sets `failed`.
class Reader {
 public:
  explicit Reader(const std::vector<BYTE>& bytes) : bytes_(bytes) {}
  bool failed = false;
  size_t pos = 0;

  BYTE byte() { return static_cast<BYTE>(take(1)); }
  WORD word() { return static_cast<WORD>(take(2)); }
  DWORD dword() { return static_cast<DWORD>(take(4)); }
  short shortInt() { return static_cast<short>(word()); }
  void align4() { pos = (pos + 3) & ~size_t{3}; }

  std::wstring wideString() {
    std::wstring s;
    for (WORD c = word(); c != 0 && !failed; c = word()) s += static_cast<wchar_t>(c);
    return s;
  }
  // A name-or-ordinal field: "" when absent, "#n" for an ordinal.
  std::string nameOrOrdinal() {
    WORD first = word();
    if (first == 0) return "";
    if (first == 0xFFFF) return "#" + std::to_string(word());
    pos -= 2;
    return narrow(wideString());
  }

 private:
  unsigned long take(size_t n) {
    if (pos + n > bytes_.size()) {
      failed = true;
      pos = bytes_.size();
      return 0;
    }
    unsigned long v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<unsigned long>(bytes_[pos + i]) << (8 * i);
    pos += n;
    return v;
  }
  const std::vector<BYTE>& bytes_;
};

struct Control {
  int id;
  std::string cls;
  std::string text;
  DWORD style;
  short x, y, cx, cy;
};

struct Template {
  bool extended = false;
  DWORD helpId = 0, exStyle = 0, style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  std::string menu, cls, title;
  WORD pointSize = 0, weight = 0;
  BYTE italic = 0, charset = 0;
  std::string face;
  std::vector<Control> controls;
  std::vector<DWORD> controlExStyles, controlHelpIds;
  std::vector<WORD> creationDataSizes;
};

// Predefined control classes are stored as ordinals.
std::string className(const std::string& stored) {
  static const std::map<std::string, std::string> ordinals = {
      {"#128", "Button"}, {"#129", "Edit"},      {"#130", "Static"},
      {"#131", "ListBox"}, {"#132", "ScrollBar"}, {"#133", "ComboBox"}};
  auto it = ordinals.find(stored);
  return it == ordinals.end() ? stored : it->second;
}

// Parses a DLGTEMPLATEEX or a classic DLGTEMPLATE with its items.
Template parseTemplate(const std::vector<BYTE>& bytes, bool& ok) {
  Reader r(bytes);
  Template t;
  WORD first = r.word(), second = r.word();
  t.extended = first == 1 && second == 0xFFFF;
  if (t.extended) {
    t.helpId = r.dword();
    t.exStyle = r.dword();
    t.style = r.dword();
  } else {
    r.pos = 0;
    t.style = r.dword();
    t.exStyle = r.dword();
  }
  WORD count = r.word();
  t.x = r.shortInt();
  t.y = r.shortInt();
  t.cx = r.shortInt();
  t.cy = r.shortInt();
  t.menu = r.nameOrOrdinal();
  t.cls = r.nameOrOrdinal();
  t.title = narrow(r.wideString());
  if (t.style & (DS_SETFONT | DS_SHELLFONT)) {
    t.pointSize = r.word();
    if (t.extended) {
      t.weight = r.word();
      t.italic = r.byte();
      t.charset = r.byte();
    }
    t.face = narrow(r.wideString());
  }
  for (WORD i = 0; i < count && !r.failed; ++i) {
    r.align4();
    Control c{};
    DWORD helpId = 0, exStyle = 0;
    if (t.extended) {
      helpId = r.dword();
      exStyle = r.dword();
      c.style = r.dword();
    } else {
      c.style = r.dword();
      exStyle = r.dword();
    }
    c.x = r.shortInt();
    c.y = r.shortInt();
    c.cx = r.shortInt();
    c.cy = r.shortInt();
    c.id = t.extended ? static_cast<int>(static_cast<LONG>(r.dword()))
                      : static_cast<int>(static_cast<short>(r.word()));
    c.cls = className(r.nameOrOrdinal());
    c.text = r.nameOrOrdinal();
    WORD extra = r.word();
    r.pos += extra;
    t.controls.push_back(c);
    t.controlExStyles.push_back(exStyle);
    t.controlHelpIds.push_back(helpId);
    t.creationDataSizes.push_back(extra);
  }
  ok = !r.failed && r.pos <= bytes.size();
  return t;
}

struct DialogCase {
  const char* name;
  WORD id;
  bool extended;
  DWORD style;
  short cx, cy;
  const char* title;
  std::vector<Control> controls;  // in template (tab) order
};

void PrintTo(const DialogCase& c, std::ostream* os) { *os << c.name << " (" << c.id << ")"; }

const std::vector<DialogCase>& dialogCases() {
  static const std::vector<DialogCase> cases = {
      {"Agent", IDD_AGENT, true, 0x80C008C0, 58, 42, "Windows ZadaZE", {}},
      {"Login",
       IDD_LOGIN,
       true,
       0x80C808C0,
       135,
       62,
       "Login",
       {
           {IDC_PASSWORD, "Edit", "", 0x508100A0, 57, 6, 70, 12},
           {IDC_OK, "Button", "OK", 0x50010001, 77, 42, 50, 15},
           {IDC_CANCEL, "Button", "Cancel", 0x50010000, 8, 42, 50, 15},
           {-1, "Static", "Password", 0x50020000, 8, 8, 32, 8},
           {-1, "Static", "--> The password is \"quillfern\" <--", 0x50020001, 8, 24, 119, 8},
       }},
      {"Configuration",
       IDD_CONFIGURATION,
       true,
       0x80C808C0,
       284,
       189,
       "Ventrix",
       {
           {IDC_DRIVES, "SysListView32", "", 0x50810055, 13, 17, 110, 51},
           // Under the drives list, inside "Drivers"; disabled until a drive is clicked.
           {IDC_DRIVE_READ_ONLY, "Button", "&Read-only", 0x58010002, 13, 71, 60, 10},
           {IDC_MEDIA, "SysListView32", "", 0x50814055, 135, 18, 137, 102},
           {IDC_ADD, "Button", "A&dd", 0x50010000, 230, 124, 42, 13},
           {IDC_DELETE, "Button", "&Delete", 0x50010000, 136, 124, 42, 13},
           {IDC_APPLY, "Button", "&Apply", 0x50010001, 227, 149, 50, 14},
           {IDC_CANCEL, "Button", "&Cancel", 0x50010000, 130, 149, 50, 14},
           {IDC_CHANGE_PASSWORD, "Button", "Pass&word...", 0x50010000, 7, 149, 50, 14},
           {IDC_TRUSTED, "Button", "&Trusted...", 0x50010000, 67, 149, 50, 14},
           {-1, "Button", "Locked Media List", 0x50000007, 130, 7, 147, 135},
           {-1, "Button", "Drivers", 0x50000007, 7, 7, 120, 78},
           {-1, "Button", "Information", 0x50000007, 7, 87, 120, 55},
           {IDC_SERIAL, "Edit", "", 0x50812881, 41, 101, 80, 13},
           {IDC_LABEL, "Edit", "", 0x50810881, 41, 119, 80, 13},
           {-1, "Static", "Serial", 0x50020000, 11, 103, 18, 8},
           {-1, "Static", "Label", 0x50020000, 11, 121, 18, 8},
           {IDC_READ_ONLY_HELP, "Static",
            "Read-only: the whole disk is made read-only, every volume on it, until it is removed or the PC "
            "restarts.",
            0x50020000, 7, 168, 270, 16},
       }},
      {"ChangePassword",
       IDD_CHANGE_PASSWORD,
       true,
       0x80C808C0,
       186,
       82,
       "Change Password",
       {
           {-1, "Static", "C&urrent password", 0x50020000, 7, 9, 80, 8},
           {IDC_CURRENT_PASSWORD, "Edit", "", 0x508100A0, 91, 7, 88, 12},
           {-1, "Static", "&New password", 0x50020000, 7, 25, 80, 8},
           {IDC_NEW_PASSWORD, "Edit", "", 0x508100A0, 91, 23, 88, 12},
           {-1, "Static", "Con&firm new password", 0x50020000, 7, 41, 80, 8},
           {IDC_CONFIRM_PASSWORD, "Edit", "", 0x508100A0, 91, 39, 88, 12},
           {IDC_OK, "Button", "OK", 0x50010001, 129, 61, 50, 15},
           {IDC_CANCEL, "Button", "Cancel", 0x50010000, 7, 61, 50, 15},
       }},
      {"TrustedMedia",
       IDD_TRUSTED_MEDIA,
       true,
       0x80C808C0,
       200,
       136,
       "Trusted Media",
       {
           {IDC_TRUSTED_LIST, "SysListView32", "", 0x50810055, 7, 7, 186, 88},
           {IDC_ADD_READ_ONLY, "Button", "Add as &read-only", 0x50010003, 7, 99, 100, 10},
           {IDC_ADD, "Button", "A&dd", 0x50010000, 7, 115, 50, 14},
           {IDC_DELETE, "Button", "&Delete", 0x50010000, 61, 115, 50, 14},
           {IDC_CANCEL, "Button", "&Close", 0x50010001, 143, 115, 50, 14},
       }},
      {"AddMedia",
       IDD_ADD_MEDIA,
       false,
       0x80C800C0,
       152,
       97,
       "Add item",
       {
           {IDC_ADD, "Button", "&Add", 0x50010001, 95, 76, 50, 14},
           {IDC_CANCEL, "Button", "&Cancel", 0x50010000, 7, 76, 50, 14},
           {IDC_PRESENT_MEDIA, "SysListView32", "", 0x50810055, 7, 7, 138, 63},
       }},
      {"About",
       IDD_ABOUT,
       true,
       0x90C80AC0,
       187,
       81,
       "About Ventrix v1.1",
       {
           {-1, "Static",
            "Ventrix allows you to lock removable media units, doing this permanently or just "
            "for selected media.",
            0x50020000, 48, 14, 132, 26},
           {-1, "Static", "Made by the Ventrix developers", 0x50020001, 7, 55, 173, 10},
           {IDC_LINK, "Static", "ventrix.example", 0x50020000, 63, 66, 61, 8},
           {-1, "Static", "#107", 0x50000003, 16, 17, 20, 20},
           {-1, "Button", "", 0x50000007, 7, 48, 173, 27},
           {-1, "Button", "", 0x50000007, 7, 3, 173, 44},
       }},
  };
  return cases;
}

void initListViews() {
  INITCOMMONCONTROLSEX icc{static_cast<DWORD>(sizeof icc), ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&icc);
}

INT_PTR CALLBACK passiveDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

class ResourcesDialog : public testing::TestWithParam<DialogCase> {};

TEST_P(ResourcesDialog, TemplateHeaderAndFont) {
  const DialogCase& want = GetParam();
  bool ok = false;
  Template t = parseTemplate(resourceBytes(RT_DIALOG, want.id), ok);
  ASSERT_TRUE(ok) << "template missing or cut short";

  EXPECT_EQ(t.extended, want.extended);
  EXPECT_EQ(t.style, want.style) << std::hex << "style 0x" << t.style;
  EXPECT_EQ(t.exStyle, 0u);
  EXPECT_EQ(t.helpId, 0u);
  EXPECT_EQ(t.x, 0);
  EXPECT_EQ(t.y, 0);
  EXPECT_EQ(t.cx, want.cx);
  EXPECT_EQ(t.cy, want.cy);
  EXPECT_EQ(t.menu, "");
  EXPECT_EQ(t.cls, "");
  EXPECT_EQ(t.title, want.title);
  EXPECT_EQ(t.pointSize, 8);
  EXPECT_EQ(t.face, "MS Sans Serif");
  EXPECT_EQ(t.weight, 0);
  EXPECT_EQ(t.italic, 0);
  EXPECT_EQ(t.charset, 0);
}

TEST_P(ResourcesDialog, ControlsInTemplateOrder) {
  const DialogCase& want = GetParam();
  bool ok = false;
  Template t = parseTemplate(resourceBytes(RT_DIALOG, want.id), ok);
  ASSERT_TRUE(ok) << "template missing or cut short";
  ASSERT_EQ(t.controls.size(), want.controls.size());
  for (size_t i = 0; i < want.controls.size(); ++i) {
    const Control& got = t.controls[i];
    const Control& exp = want.controls[i];
    SCOPED_TRACE("control #" + std::to_string(i) + " \"" + exp.text + "\"");
    EXPECT_EQ(got.id, exp.id);
    // Class names are case-insensitive; windres stores custom ones upper-case.
    EXPECT_EQ(lower(got.cls), lower(exp.cls));
    EXPECT_EQ(got.text, exp.text);
    EXPECT_EQ(got.style, exp.style) << std::hex << "style 0x" << got.style;
    EXPECT_EQ(got.x, exp.x);
    EXPECT_EQ(got.y, exp.y);
    EXPECT_EQ(got.cx, exp.cx);
    EXPECT_EQ(got.cy, exp.cy);
    EXPECT_EQ(t.controlExStyles[i], 0u);
    EXPECT_EQ(t.controlHelpIds[i], 0u);
    EXPECT_EQ(t.creationDataSizes[i], 0);
  }
}

// The template is usable: the system builds the window and every control,
// in template order, with the listed classes.
TEST_P(ResourcesDialog, CreatesWithEveryControl) {
  const DialogCase& want = GetParam();
  initListViews();
  HWND dialog = CreateDialogParamA(self(), MAKEINTRESOURCEA(want.id), nullptr, passiveDialogProc, 0);
  ASSERT_NE(dialog, nullptr) << "error " << GetLastError();

  char text[256] = {};
  GetWindowTextA(dialog, text, sizeof text);
  EXPECT_STREQ(text, want.title);

  size_t index = 0;
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT), ++index) {
    if (index >= want.controls.size()) continue;
    const Control& exp = want.controls[index];
    SCOPED_TRACE("control #" + std::to_string(index));
    char cls[64] = {};
    GetClassNameA(child, cls, sizeof cls);
    EXPECT_EQ(lower(cls), lower(exp.cls));
    // Identifiers travel as 16 bits in WM_COMMAND; -1 is 0xFFFF there.
    EXPECT_EQ(LOWORD(GetDlgCtrlID(child)), LOWORD(exp.id));
    if ((exp.style & SS_TYPEMASK) == SS_ICON && lower(exp.cls) == "static") {
      EXPECT_NE(SendMessageA(child, STM_GETICON, 0, 0), 0) << "icon static without an icon";
    }
  }
  EXPECT_EQ(index, want.controls.size());
  DestroyWindow(dialog);
}

INSTANTIATE_TEST_SUITE_P(Resources, ResourcesDialog, testing::ValuesIn(dialogCases()),
                         [](const testing::TestParamInfo<DialogCase>& info) { return std::string(info.param.name); });

// One image inside an icon resource, as its BITMAPINFOHEADER describes it.
struct IconImage {
  int size;
  int bits;
};

struct IconCase {
  WORD id;
  std::vector<IconImage> images;
};

// Colour of pixel (x, y) (top row 0) of an icon image's colour bits, as RGB.
DWORD pixelColour(const BYTE* image, const BITMAPINFOHEADER& h, int x, int y) {
  int width = h.biWidth, height = h.biHeight / 2, bits = h.biBitCount;
  int colours = bits <= 8 ? (h.biClrUsed ? static_cast<int>(h.biClrUsed) : 1 << bits) : 0;
  const BYTE* palette = image + h.biSize;
  const BYTE* xor_ = palette + 4 * colours;
  int stride = (width * bits + 31) / 32 * 4;
  const BYTE* row = xor_ + (height - 1 - y) * stride;
  if (bits == 24) return RGB(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
  int index = bits == 8 ? row[x] : (row[x / 2] >> (x % 2 ? 0 : 4)) & 0xF;
  const BYTE* q = palette + 4 * index;
  return RGB(q[2], q[1], q[0]);
}

bool maskTransparent(const BYTE* image, const BITMAPINFOHEADER& h, int x, int y) {
  int width = h.biWidth, height = h.biHeight / 2, bits = h.biBitCount;
  int colours = bits <= 8 ? (h.biClrUsed ? static_cast<int>(h.biClrUsed) : 1 << bits) : 0;
  const BYTE* mask = image + h.biSize + 4 * colours + (width * bits + 31) / 32 * 4 * height;
  const BYTE* row = mask + (height - 1 - y) * ((width + 31) / 32 * 4);
  return (row[x / 8] >> (7 - x % 8)) & 1;
}

TEST(ResourcesIcons, ImagesHaveTheListedSizesDepthsAndMasks) {
  const std::vector<IconCase> cases = {
      {IDI_APP, {{32, 24}}},
      {IDI_UNLOCKED, {{16, 24}, {16, 4}}},
      {IDI_LOCKED, {{16, 24}}},
      {IDI_CDROM, {{16, 8}}},
      {IDI_REMOVABLE, {{16, 8}}},
  };
  for (const IconCase& c : cases) {
    SCOPED_TRACE("icon " + std::to_string(c.id));
    std::vector<BYTE> group = resourceBytes(RT_GROUP_ICON, c.id);
    Reader r(group);
    EXPECT_EQ(r.word(), 0);
    EXPECT_EQ(r.word(), 1);  // icons, not cursors
    WORD count = r.word();
    ASSERT_FALSE(r.failed);
    ASSERT_EQ(size_t{count}, c.images.size());
    for (WORD i = 0; i < count; ++i) {
      SCOPED_TRACE("image " + std::to_string(i));
      const IconImage& want = c.images[i];
      BYTE width = r.byte(), height = r.byte(), colours = r.byte();
      r.byte();
      WORD planes = r.word(), bits = r.word();
      DWORD bytes = r.dword();
      WORD imageId = r.word();
      ASSERT_FALSE(r.failed);
      EXPECT_EQ(width, want.size);
      EXPECT_EQ(height, want.size);
      EXPECT_EQ(colours, want.bits == 4 ? 16 : 0);
      EXPECT_EQ(planes, 1);
      EXPECT_EQ(bits, want.bits);

      std::vector<BYTE> image = resourceBytes(RT_ICON, imageId);
      ASSERT_EQ(image.size(), bytes);
      ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
      BITMAPINFOHEADER h;
      std::memcpy(&h, image.data(), sizeof h);
      EXPECT_EQ(h.biSize, sizeof h);
      EXPECT_EQ(h.biWidth, want.size);
      EXPECT_EQ(h.biHeight, 2 * want.size);  // colour bits and mask
      EXPECT_EQ(h.biBitCount, want.bits);
      EXPECT_EQ(h.biCompression, static_cast<DWORD>(BI_RGB));
      if (h.biSize != sizeof h || h.biWidth != want.size || h.biHeight != 2 * want.size ||
          h.biBitCount != want.bits)
        continue;
      int colourCount = want.bits <= 8 ? (h.biClrUsed ? static_cast<int>(h.biClrUsed) : 1 << want.bits) : 0;
      size_t need = sizeof h + 4 * colourCount + (want.size * want.bits + 31) / 32 * 4 * want.size +
                    (want.size + 31) / 32 * 4 * want.size;
      ASSERT_EQ(image.size(), need);

      // A picture with a see-through background: the mask has both kinds of
      // pixel, and every see-through pixel is black so it leaves the screen as is.
      int clear = 0, opaque = 0, nonBlackClear = 0;
      for (int y = 0; y < want.size; ++y)
        for (int x = 0; x < want.size; ++x) {
          if (maskTransparent(image.data(), h, x, y)) {
            ++clear;
            if (pixelColour(image.data(), h, x, y) != 0) ++nonBlackClear;
          } else {
            ++opaque;
          }
        }
      EXPECT_GT(clear, 0);
      EXPECT_GT(opaque, want.size * want.size / 4);
      EXPECT_EQ(nonBlackClear, 0);
    }
  }
}

TEST(ResourcesIcons, LoadAtTheSizesTheProgramAsksFor) {
  const std::vector<std::pair<WORD, int>> cases = {
      {IDI_LOCKED, 16}, {IDI_UNLOCKED, 16}, {IDI_REMOVABLE, 16}, {IDI_CDROM, 16}, {IDI_APP, 32}};
  for (auto [id, size] : cases) {
    SCOPED_TRACE("icon " + std::to_string(id));
    HICON icon = static_cast<HICON>(LoadImageA(self(), MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, 0));
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bm{};
    GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, size);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
}

TEST(ResourcesBitmaps, MenuGlyphsAreMonochromeAtTheirOwnSize) {
  const std::vector<std::pair<WORD, int>> cases = {
      {IDB_LOCK, 8}, {IDB_UNLOCK, 8}, {IDB_CONFIGURATION, 8}, {IDB_EXIT, 8}, {IDB_ABOUT, 9}};
  for (auto [id, width] : cases) {
    SCOPED_TRACE("bitmap " + std::to_string(id));
    std::vector<BYTE> raw = resourceBytes(RT_BITMAP, id);
    ASSERT_GE(raw.size(), sizeof(BITMAPINFOHEADER) + 8);
    BITMAPINFOHEADER h;
    std::memcpy(&h, raw.data(), sizeof h);
    EXPECT_EQ(h.biSize, sizeof h) << "plain BITMAPINFOHEADER expected";

    HBITMAP bitmap = static_cast<HBITMAP>(LoadImageA(self(), MAKEINTRESOURCEA(id), IMAGE_BITMAP, 0, 0, LR_DEFAULTSIZE));
    ASSERT_NE(bitmap, nullptr);
    BITMAP bm{};
    ASSERT_NE(GetObjectA(bitmap, sizeof bm, &bm), 0);
    EXPECT_EQ(bm.bmWidth, width);
    EXPECT_EQ(bm.bmHeight, 13);
    // Loaded as a monochrome bitmap, the menu draws it in its text colours.
    EXPECT_EQ(bm.bmBitsPixel, 1);
    EXPECT_EQ(bm.bmPlanes, 1);

    // Not blank: some ink and some background.
    std::vector<BYTE> bits(static_cast<size_t>(bm.bmWidthBytes) * bm.bmHeight);
    ASSERT_EQ(GetBitmapBits(bitmap, static_cast<LONG>(bits.size()), bits.data()), static_cast<LONG>(bits.size()));
    int ink = 0, paper = 0;
    for (int y = 0; y < bm.bmHeight; ++y)
      for (int x = 0; x < bm.bmWidth; ++x)
        ((bits[y * bm.bmWidthBytes + x / 8] >> (7 - x % 8)) & 1 ? paper : ink)++;
    EXPECT_GT(ink, 8);
    EXPECT_GT(paper, 8);
    DeleteObject(bitmap);
  }
}

TEST(ResourcesMenu, TrayPopupHasTheCommandsInOrder) {
  HMENU bar = LoadMenuA(self(), MAKEINTRESOURCEA(IDM_TRAY));
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(GetMenuItemCount(bar), 1);
  HMENU popup = GetSubMenu(bar, 0);
  ASSERT_NE(popup, nullptr);

  struct Item {
    UINT id;
    bool separator;
    bool checked;
    const char* text;  // nullptr: not checked (placeholder or separator)
  };
  const Item want[] = {
      {IDM_PROTECTION, false, true, nullptr},
      {0, false, false, "Unlock &for"},
      {0, true, false, nullptr},
      {IDM_CONFIGURATION, false, false, "Configuration"},
      {IDM_ABOUT, false, false, "About..."},
      {IDM_EXIT, false, false, "Exit"},
  };
  ASSERT_EQ(GetMenuItemCount(popup), 6);
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE("position " + std::to_string(i));
    char text[64] = {};
    MENUITEMINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING | MIIM_SUBMENU;
    info.dwTypeData = text;
    info.cch = sizeof text;
    ASSERT_TRUE(GetMenuItemInfoA(popup, i, TRUE, &info));
    EXPECT_EQ((info.fType & MFT_SEPARATOR) != 0, want[i].separator);
    EXPECT_EQ((info.fState & MFS_CHECKED) != 0, want[i].checked);
    EXPECT_EQ(info.hSubMenu != nullptr, i == 1) << "only \"Unlock for\" opens a submenu";
    if (!want[i].separator && i != 1) {
      EXPECT_EQ(info.wID, want[i].id);
    }
    if (want[i].text) {
      EXPECT_STREQ(text, want[i].text);
    }
  }
  // The timed unlocks, in order of length.
  HMENU timed = GetSubMenu(popup, 1);
  ASSERT_NE(timed, nullptr);
  const std::pair<UINT, const char*> durations[] = {
      {IDM_UNLOCK_5_MINUTES, "&5 minutes"}, {IDM_UNLOCK_15_MINUTES, "&15 minutes"}, {IDM_UNLOCK_1_HOUR, "&1 hour"}};
  ASSERT_EQ(GetMenuItemCount(timed), 3);
  for (int i = 0; i < 3; ++i) {
    char text[64] = {};
    GetMenuStringA(timed, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
    EXPECT_EQ(GetMenuItemID(timed, i), durations[i].first);
    EXPECT_STREQ(text, durations[i].second);
  }
  // The program changes items by command, so each command must be reachable.
  for (UINT id : {IDM_PROTECTION, IDM_CONFIGURATION, IDM_ABOUT, IDM_EXIT})
    EXPECT_NE(GetMenuState(popup, id, MF_BYCOMMAND), static_cast<UINT>(-1)) << id;
  DestroyMenu(bar);
}

// Attributes of the first element named `element` inside `scope`.
std::map<std::string, std::string> attributes(const std::string& scope, const std::string& element) {
  std::map<std::string, std::string> out;
  size_t start = scope.find("<" + element);
  if (start == std::string::npos) return out;
  size_t end = scope.find('>', start);
  std::string tag = scope.substr(start, end - start);
  size_t pos = 1 + element.size();
  while (true) {
    size_t eq = tag.find('=', pos);
    if (eq == std::string::npos) break;
    size_t nameStart = tag.find_last_of(" \t\r\n", eq) + 1;
    size_t q1 = tag.find('"', eq), q2 = tag.find('"', q1 + 1);
    if (q1 == std::string::npos || q2 == std::string::npos) break;
    out[tag.substr(nameStart, eq - nameStart)] = tag.substr(q1 + 1, q2 - q1 - 1);
    pos = q2 + 1;
  }
  return out;
}

TEST(ResourcesManifest, RequestsCommonControls6AsInvoker) {
  std::vector<BYTE> raw = resourceBytes(RT_MANIFEST, 1);
  ASSERT_FALSE(raw.empty());
  std::string xml(raw.begin(), raw.end());

  size_t from = xml.find("<dependentAssembly>"), to = xml.find("</dependentAssembly>");
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  auto dependency = attributes(xml.substr(from, to - from), "assemblyIdentity");
  EXPECT_EQ(dependency["type"], "win32");
  EXPECT_EQ(dependency["name"], "Microsoft.Windows.Common-Controls");
  EXPECT_EQ(dependency["version"], "6.0.0.0");
  EXPECT_EQ(dependency["processorArchitecture"], ventrix::BuildArchitecture);
  EXPECT_EQ(attributes(xml, "assemblyIdentity")["processorArchitecture"], ventrix::BuildArchitecture);
  EXPECT_EQ(dependency["publicKeyToken"], "6595b64144ccf1df");
  EXPECT_EQ(dependency["language"], "*");

  EXPECT_EQ(attributes(xml, "requestedExecutionLevel")["level"], "asInvoker");

  // The manifest took effect: the side-by-side copy of comctl32 is the one loaded.
  initListViews();
  char path[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameA(GetModuleHandleA("comctl32.dll"), path, MAX_PATH), 0u);
  EXPECT_NE(lower(path).find("winsxs"), std::string::npos) << path;
}

// One node of a VS_VERSIONINFO tree.
struct VersionNode {
  std::string key;
  std::vector<BYTE> value;  // binary value
  std::string text;         // text value
  std::vector<VersionNode> children;
};

VersionNode parseVersionNode(const std::vector<BYTE>& bytes, size_t at, bool& ok) {
  VersionNode node;
  Reader r(bytes);
  r.pos = at;
  WORD length = r.word(), valueLength = r.word(), type = r.word();
  size_t end = at + length;
  if (r.failed || length < 6 || end > bytes.size()) {
    ok = false;
    return node;
  }
  node.key = narrow(r.wideString());
  r.align4();
  if (type == 1) {
    size_t valueStart = r.pos;
    if (valueLength) node.text = narrow(r.wideString());
    r.pos = valueStart + 2 * valueLength;
  } else {
    if (r.pos + valueLength > end) {
      ok = false;
      return node;
    }
    node.value.assign(bytes.begin() + r.pos, bytes.begin() + r.pos + valueLength);
    r.pos += valueLength;
  }
  r.align4();
  while (ok && r.pos + 6 <= end) {
    VersionNode child = parseVersionNode(bytes, r.pos, ok);
    WORD childLength = static_cast<WORD>(bytes[r.pos] | bytes[r.pos + 1] << 8);
    if (childLength == 0) break;
    node.children.push_back(child);
    r.pos = (r.pos + childLength + 3) & ~size_t{3};
  }
  ok = ok && !r.failed;
  return node;
}

// The event viewer finds each event's text by its full identifier; every
// insertion string the program passes has its place in the text.
TEST(ResourcesMessages, EveryAuditEventHasItsSentenceWithItsInsertions) {
  using ventrix::AuditEvent;
  const std::pair<AuditEvent, int> events[] = {
      {AuditEvent::Started, 4},        {AuditEvent::DefaultPasswordInUse, 0}, {AuditEvent::MediumEjected, 4},
      {AuditEvent::ProtectionOff, 0},  {AuditEvent::ProtectionOn, 0},         {AuditEvent::WrongPassword, 1},
      {AuditEvent::ConfigurationApplied, 3}, {AuditEvent::PasswordChanged, 0}, {AuditEvent::Exiting, 0},
      {AuditEvent::SaveFailed, 1},     {AuditEvent::TrustedMediumAllowed, 3}, {AuditEvent::ProtectionOffTimed, 1},
      {AuditEvent::TimedUnlockEnded, 0}, {AuditEvent::UnreadableRecordsKept, 2},
      {AuditEvent::ManagedPolicyInForce, 1}, {AuditEvent::ManagedValueMalformed, 2},
      {AuditEvent::ServiceStarted, 1}, {AuditEvent::SetupPasswordTaken, 0}, {AuditEvent::ServiceStopping, 1},
      {AuditEvent::PipeTaken, 2}, {AuditEvent::NotProtected, 2},
      {AuditEvent::DataFolderRefused, 2}, {AuditEvent::SetupPasswordKept, 1}};
  for (const auto& [event, insertions] : events) {
    SCOPED_TRACE(static_cast<int>(event));
    EXPECT_EQ(ventrix::eventIdentifier(event) & 0xFFFF, static_cast<DWORD>(event));
    char text[512] = {};
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, self(),
                             ventrix::eventIdentifier(event), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                             sizeof text, nullptr),
              10u);
    const std::string sentence(text);
    for (int i = 1; i <= 4; ++i) {
      EXPECT_EQ(sentence.find("%" + std::to_string(i)) != std::string::npos, i <= insertions) << sentence;
    }
  }
}

TEST(ResourcesVersion, NamesAndNumbersTheProduct) {
  std::vector<BYTE> raw = resourceBytes(RT_VERSION, 1);
  ASSERT_FALSE(raw.empty());
  bool ok = true;
  VersionNode root = parseVersionNode(raw, 0, ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(root.key, "VS_VERSION_INFO");
  ASSERT_EQ(root.value.size(), sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, root.value.data(), sizeof fixed);
  EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed.dwFileVersionMS, 0x00010001u);
  EXPECT_EQ(fixed.dwFileVersionLS, 0u);
  EXPECT_EQ(fixed.dwProductVersionMS, 0x00010001u);
  EXPECT_EQ(fixed.dwProductVersionLS, 0u);

  std::map<std::string, std::string> strings;
  for (const VersionNode& block : root.children)
    if (block.key == "StringFileInfo")
      for (const VersionNode& table : block.children)
        for (const VersionNode& value : table.children) strings[value.key] = value.text;
  EXPECT_EQ(strings["ProductName"], "Ventrix");
  EXPECT_EQ(strings["FileDescription"], "Ventrix removable media lock");
  EXPECT_EQ(strings["CompanyName"], "Ventrix developers");
  EXPECT_EQ(strings["FileVersion"], "1.1.0.0");
  EXPECT_EQ(strings["ProductVersion"], "1.1.0.0");
}

}  // namespace
