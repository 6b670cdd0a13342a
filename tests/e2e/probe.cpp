// e2e_probe: the end-to-end harness's eyes and hands inside Wine. Each
// subcommand looks at or pokes the running ventrix.exe from another process,
// the way any other program on the desktop could, and prints line-oriented
// results. Exit status: 0 success, 1 "not found / timed out", 2 usage error.
//
// Run one command per invocation, or "serve" to read commands (tab-separated
// arguments, one per line) from stdin; each answer ends with a line
// "@@end <status>". Serving saves a Wine process start per command.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>
#include <shellapi.h>
#include <dbt.h>
#include <wincrypt.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "policy/config_file.h"
#include "policy/policy_tables.h"
#include "service/protocol.h"

#if __has_include("policy/win32/dpapi_protector.h")
#include "policy/win32/dpapi_protector.h"
#define E2E_PROJECT_PROTECTOR 1
#endif

namespace {

using Args = std::vector<std::string>;

#ifndef E2E_PROJECT_PROTECTOR
// Stand-in until the program's own DPAPI protector is in the tree: the same
// calls with the same arguments (flags 0, no entropy, no description).
class LocalDpapi final : public ventrix::DataProtector {
public:
    bool protect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) override {
        return run(data, size, out, true);
    }
    bool unprotect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) override {
        return run(data, size, out, false);
    }

private:
    static bool run(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out, bool protecting) {
        DATA_BLOB in{static_cast<DWORD>(size), const_cast<BYTE*>(data)};
        DATA_BLOB result{};
        BOOL ok = protecting ? CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &result)
                             : CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &result);
        if (!ok) return false;
        out.assign(result.pbData, result.pbData + result.cbData);
        LocalFree(result.pbData);
        return true;
    }
};
#endif

unsigned long number(const std::string& text) { return std::strtoul(text.c_str(), nullptr, 0); }

void say(const char* format, ...) {
    va_list list;
    va_start(list, format);
    std::vfprintf(stdout, format, list);
    va_end(list);
    std::fflush(stdout);
}

// Exact title among all top-level windows, hidden ones included; the class
// narrows it when given.
// Ventrix's windows are all dialogs: without a class asked for, only a
// dialog of that title counts, so another program's look-alike (a plain
// window of the same title) never stands in for it.
HWND findWindow(const std::string& title, const std::string& windowClass = "") {
    const char* wanted = title == "*" ? nullptr : title.c_str();
    const char* cls = !windowClass.empty() ? windowClass.c_str() : wanted ? "#32770" : nullptr;
    return FindWindowA(cls, wanted);
}

struct TitleCount {
    const char* title;
    int count;
    int visible;
};

BOOL CALLBACK countTitle(HWND window, LPARAM data) {
    auto* wanted = reinterpret_cast<TitleCount*>(data);
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    if (std::strcmp(text, wanted->title) == 0) {
        ++wanted->count;
        if (IsWindowVisible(window)) ++wanted->visible;
    }
    return TRUE;
}

void describe(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char cls[128] = {};
    GetClassNameA(window, cls, sizeof cls);
    say("hwnd=%p visible=%d rect=%ld,%ld,%ld,%ld pid=%lu class=%s foreground=%d\n", static_cast<void*>(window),
        IsWindowVisible(window) ? 1 : 0, rect.left, rect.top, rect.right, rect.bottom, pid, cls,
        GetForegroundWindow() == window ? 1 : 0);
}

// Polls for a condition until the deadline; the harness never sleeps blindly.
template <typename Condition>
bool pollUntil(unsigned long timeoutMs, Condition condition) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(25);
    }
}

HWND controlOf(const Args& a, size_t titleAt, size_t idAt) {
    HWND window = findWindow(a[titleAt]);
    if (!window) return nullptr;
    return GetDlgItem(window, static_cast<int>(number(a[idAt])));
}

// ---------------------------------------------------------------- windows

int cmdFind(const Args& a) {  // find TITLE [CLASS]
    if (a.size() < 2) return 2;
    HWND window = findWindow(a[1], a.size() > 2 ? a[2] : "");
    if (!window) {
        say("absent\n");
        return 1;
    }
    describe(window);
    return 0;
}

int cmdWait(const Args& a) {  // wait TITLE TIMEOUT_MS [CLASS]
    if (a.size() < 3) return 2;
    HWND window = nullptr;
    const std::string cls = a.size() > 3 ? a[3] : "";
    if (!pollUntil(number(a[2]), [&] { return (window = findWindow(a[1], cls)) != nullptr; })) {
        say("timeout\n");
        return 1;
    }
    describe(window);
    return 0;
}

int cmdGone(const Args& a) {  // gone TITLE TIMEOUT_MS [CLASS]
    if (a.size() < 3) return 2;
    const std::string cls = a.size() > 3 ? a[3] : "";
    if (!pollUntil(number(a[2]), [&] { return findWindow(a[1], cls) == nullptr; })) {
        say("still-there\n");
        return 1;
    }
    say("gone\n");
    return 0;
}

int cmdCount(const Args& a) {  // count TITLE: top-level windows with that exact title
    if (a.size() < 2) return 2;
    TitleCount wanted{a[1].c_str(), 0, 0};
    EnumWindows(countTitle, reinterpret_cast<LPARAM>(&wanted));
    say("count=%d visible=%d\n", wanted.count, wanted.visible);
    return 0;
}

// focus TITLE: which control of that window has the keyboard focus in its thread
int cmdFocus(const Args& a) {
    if (a.size() < 2) return 2;
    HWND window = findWindow(a[1]);
    if (!window) return 1;
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return 1;
    const bool inside = info.hwndFocus && (info.hwndFocus == window || IsChild(window, info.hwndFocus));
    say("focus=%d active=%d\n", inside ? GetDlgCtrlID(info.hwndFocus) : -1, info.hwndActive == window ? 1 : 0);
    return 0;
}

int cmdForeground(const Args&) {
    HWND window = GetForegroundWindow();
    char text[512] = {};
    if (window) GetWindowTextA(window, text, sizeof text);
    say("foreground=%p title=%s\n", static_cast<void*>(window), text);
    return 0;
}

int cmdControl(const Args& a) {  // control TITLE ID: screen rect, text, state of a child control
    if (a.size() < 3) return 2;
    HWND control = controlOf(a, 1, 2);
    if (!control) {
        say("absent\n");
        return 1;
    }
    RECT rect{};
    GetWindowRect(control, &rect);
    char text[1024] = {};
    SendMessageA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    say("rect=%ld,%ld,%ld,%ld visible=%d enabled=%d focus=%d text=%s\n", rect.left, rect.top, rect.right,
        rect.bottom, IsWindowVisible(control) ? 1 : 0, IsWindowEnabled(control) ? 1 : 0,
        GetFocus() == control ? 1 : 0, text);
    return 0;
}

int cmdWideText(const Args& a) {  // wtext TITLE ID: the control's text read as wide text, in UTF-8 hex
    if (a.size() < 3) return 2;
    HWND control = controlOf(a, 1, 2);
    if (!control) return 1;
    wchar_t wide[1024] = {};
    SendMessageW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(wide));
    char utf8[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
    std::string hex;
    for (const char* c = utf8; *c; ++c) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(*c));
        hex += pair;
    }
    say("utf8=%s\n", hex.c_str());
    return 0;
}

int cmdChildren(const Args& a) {  // children TITLE: each child control's visibility and text, in order
    if (a.size() < 2) return 2;
    HWND window = findWindow(a[1]);
    if (!window) return 1;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char text[512] = {};
        GetWindowTextA(child, text, sizeof text);
        say("id=%d visible=%d text=%s\n", GetDlgCtrlID(child), IsWindowVisible(child) ? 1 : 0, text);
    }
    return 0;
}

int cmdShortcut(const Args& a) {  // shortcut LNK: a shell link's target and working directory
    if (a.size() < 2) return 2;
    CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    IPersistFile* file = nullptr;
    int status = 1;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        wchar_t path[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, a[1].c_str(), -1, path, MAX_PATH);
        char target[MAX_PATH] = {}, directory[MAX_PATH] = {};
        if (SUCCEEDED(file->Load(path, STGM_READ)) && SUCCEEDED(link->GetPath(target, MAX_PATH, nullptr, 0)) &&
            SUCCEEDED(link->GetWorkingDirectory(directory, MAX_PATH))) {
            say("target=%s\nworkdir=%s\n", target, directory);
            status = 0;
        }
    }
    if (file) file->Release();
    if (link) link->Release();
    CoUninitialize();
    return status;
}

int cmdExitCode(const Args& a) {  // exitcode TITLE TIMEOUT_MS: waits for the window's process to end
    if (a.size() < 3) return 2;
    HWND window = nullptr;
    if (!pollUntil(number(a[2]), [&] { return (window = findWindow(a[1])) != nullptr; })) return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process) return 1;
    say("watching pid=%lu\n", pid);
    DWORD code = 0;
    const bool ended = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (!ended) return 1;
    say("exitcode=%lu\n", code);
    return 0;
}

struct TitleList {
    const char* title;
    std::vector<HWND> windows;
};

BOOL CALLBACK listTitle(HWND window, LPARAM data) {
    auto* wanted = reinterpret_cast<TitleList*>(data);
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    if (std::strcmp(text, wanted->title) == 0) wanted->windows.push_back(window);
    return TRUE;
}

int cmdList(const Args& a) {  // list TITLE: every top-level window with that exact title
    if (a.size() < 2) return 2;
    TitleList wanted{a[1].c_str(), {}};
    EnumWindows(listTitle, reinterpret_cast<LPARAM>(&wanted));
    say("count=%d\n", static_cast<int>(wanted.windows.size()));
    for (HWND window : wanted.windows) describe(window);
    return 0;
}

int cmdCloseHandle(const Args& a) {  // closehwnd HWND: WM_CLOSE to one particular window
    if (a.size() < 2) return 2;
    HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(a[1].c_str(), nullptr, 16)));
    if (!IsWindow(window)) return 1;
    return PostMessageA(window, WM_CLOSE, 0, 0) ? 0 : 1;
}

// watch TITLE MS: samples the window's visibility every few milliseconds.
int cmdWatch(const Args& a) {
    if (a.size() < 3) return 2;
    int samples = 0, present = 0, visible = 0;
    pollUntil(number(a[2]), [&] {
        HWND window = findWindow(a[1]);
        ++samples;
        if (window) {
            ++present;
            if (IsWindowVisible(window)) ++visible;
        }
        return false;
    });
    say("samples=%d present=%d visible=%d\n", samples, present, visible);
    return 0;
}

int cmdGetSel(const Args& a) {  // getsel TITLE ID: an edit's selection
    if (a.size() < 3) return 2;
    HWND control = controlOf(a, 1, 2);
    if (!control) return 1;
    DWORD selection = static_cast<DWORD>(SendMessageA(control, EM_GETSEL, 0, 0));
    char text[512] = {};
    SendMessageA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    say("start=%u end=%u length=%u\n", LOWORD(selection), HIWORD(selection), static_cast<unsigned>(std::strlen(text)));
    return 0;
}

// ------------------------------------------------------- message boxes

// A message box, not a dialog of the same caption (the configuration dialog
// is also a "Ventrix" #32770): only the box has an IDOK button.
HWND findBox(const std::string& caption) {
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, "#32770", caption.c_str())) != nullptr) {
        if (GetDlgItem(window, IDOK)) return window;
    }
    return nullptr;
}

std::string boxText(HWND box) {
    char text[1024] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return text;
}

int cmdBox(const Args& a) {  // box CAPTION TIMEOUT_MS [dismiss]: wait for a message box, print its text
    if (a.size() < 3) return 2;
    HWND box = nullptr;
    if (!pollUntil(number(a[2]), [&] { return (box = findBox(a[1])) != nullptr; })) {
        say("timeout\n");
        return 1;
    }
    // The box's static text is filled during WM_INITDIALOG; wait for it too.
    std::string text;
    pollUntil(2000, [&] { return !(text = boxText(box)).empty(); });
    DWORD pid = 0;
    GetWindowThreadProcessId(box, &pid);
    say("text=%s\npid=%lu\nvisible=%d\n", text.c_str(), pid, IsWindowVisible(box) ? 1 : 0);
    if (a.size() > 3 && a[3] == "dismiss") {
        SendMessageA(box, WM_COMMAND, IDOK, 0);
        if (!pollUntil(3000, [&] { return !IsWindow(box); })) {
            say("dismiss-failed\n");
            return 1;
        }
        say("dismissed\n");
    }
    return 0;
}

int cmdNoBox(const Args& a) {  // nobox CAPTION WATCH_MS: fails if a box with that caption shows up
    if (a.size() < 3) return 2;
    HWND box = nullptr;
    if (pollUntil(number(a[2]), [&] { return (box = findBox(a[1])) != nullptr; })) {
        say("box text=%s\n", boxText(box).c_str());
        return 1;
    }
    say("none\n");
    return 0;
}

// ------------------------------------------------------- poking windows

int cmdClick(const Args& a) {  // click TITLE ID: BM_CLICK, posted so a modal reply cannot block us
    if (a.size() < 3) return 2;
    HWND control = controlOf(a, 1, 2);
    if (!control) return 1;
    return PostMessageA(control, BM_CLICK, 0, 0) ? 0 : 1;
}

int cmdSetText(const Args& a) {  // settext TITLE ID TEXT (UTF-8, set as wide text)
    if (a.size() < 4) return 2;
    HWND control = controlOf(a, 1, 2);
    if (!control) return 1;
    wchar_t wide[1024] = {};
    MultiByteToWideChar(CP_UTF8, 0, a[3].c_str(), -1, wide, 1024);
    SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide));
    return 0;
}

int cmdCommand(const Args& a) {  // command TITLE WPARAM [LPARAM]: posted WM_COMMAND
    if (a.size() < 3) return 2;
    HWND window = findWindow(a[1]);
    if (!window) return 1;
    LPARAM lParam = a.size() > 3 ? static_cast<LPARAM>(number(a[3])) : 0;
    return PostMessageA(window, WM_COMMAND, number(a[2]), lParam) ? 0 : 1;
}

int cmdPost(const Args& a) {  // post TITLE MSG WPARAM LPARAM
    if (a.size() < 5) return 2;
    HWND window = findWindow(a[1]);
    if (!window) return 1;
    return PostMessageA(window, static_cast<UINT>(number(a[2])), number(a[3]), static_cast<LPARAM>(number(a[4])))
               ? 0
               : 1;
}

int cmdClose(const Args& a) {  // close TITLE
    if (a.size() < 2) return 2;
    HWND window = findWindow(a[1]);
    if (!window) return 1;
    return PostMessageA(window, WM_CLOSE, 0, 0) ? 0 : 1;
}

// arrive MASK [variant]: a volume arrival as the system would broadcast it,
// sent (not posted: device changes are synchronous) to the agent window.
// Variants exercise what a hostile or broken sender could deliver.
// The variant "broadcast" sends it as the system does, to every top-level
// window of every desktop (the service's hidden window included).
int cmdArrive(const Args& a) {
    if (a.size() < 2) return 2;
    const std::string variant = a.size() > 2 ? a[2] : "volume";
    HWND agent = findWindow("Windows ZadaZE");
    if (!agent && variant != "broadcast") {
        say("no-agent\n");
        return 1;
    }
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = static_cast<DWORD>(number(a[1]));
    volume.dbcv_flags = 0;
    WPARAM event = DBT_DEVICEARRIVAL;
    LPARAM header = reinterpret_cast<LPARAM>(&volume);
    if (variant == "removal") {
        event = DBT_DEVICEREMOVECOMPLETE;
    } else if (variant == "nodes-null") {
        event = DBT_DEVNODES_CHANGED;  // the real system sends this one with no header at all
        header = 0;
    } else if (variant == "arrival-null") {
        header = 0;  // an arrival that carries no header at all
    } else if (variant == "short") {
        volume.dbcv_size = sizeof(DEV_BROADCAST_HDR);  // claims a volume, carries only the header
    } else if (variant == "tiny") {
        volume.dbcv_size = 4;  // not even a whole header
    } else if (variant == "port") {
        volume.dbcv_devicetype = DBT_DEVTYP_PORT;
    } else if (variant == "broadcast") {
        DWORD recipients = BSM_APPLICATIONS | BSM_ALLDESKTOPS;
        const long result = BroadcastSystemMessageA(BSF_QUERY | BSF_FORCEIFHUNG, &recipients, WM_DEVICECHANGE, event,
                                                    header);
        say("broadcast result=%ld\n", result);
        return result > 0 ? 0 : 1;
    } else if (variant != "volume") {
        return 2;
    }
    LRESULT result = SendMessageA(agent, WM_DEVICECHANGE, event, header);
    say("sent result=%ld\n", static_cast<long>(result));
    return 0;
}

// ------------------------------------------------- list views elsewhere

struct Remote {
    HANDLE process = nullptr;
    char* memory = nullptr;
    explicit Remote(HWND window, SIZE_T size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process)
            memory = static_cast<char*>(VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    }
    ~Remote() {
        if (memory) VirtualFreeEx(process, memory, 0, MEM_RELEASE);
        if (process) CloseHandle(process);
    }
    bool ok() const { return memory != nullptr; }
};

std::string itemText(HWND list, Remote& remote, int row, int column, LPARAM* param, int* image) {
    LVITEMA item{};
    item.mask = LVIF_TEXT | (column == 0 ? (LVIF_PARAM | LVIF_IMAGE) : 0);
    item.iItem = row;
    item.iSubItem = column;
    item.pszText = remote.memory + sizeof(LVITEMA);
    item.cchTextMax = 256;
    WriteProcessMemory(remote.process, remote.memory, &item, sizeof item, nullptr);
    char zero[260] = {};
    WriteProcessMemory(remote.process, remote.memory + sizeof(LVITEMA), zero, sizeof zero, nullptr);
    SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote.memory));
    LVITEMA back{};
    char text[260] = {};
    ReadProcessMemory(remote.process, remote.memory, &back, sizeof back, nullptr);
    ReadProcessMemory(remote.process, remote.memory + sizeof(LVITEMA), text, 256, nullptr);
    if (param) *param = back.lParam;
    if (image) *image = back.iImage;
    return text;
}

int cmdListView(const Args& a) {  // listview TITLE ID: one line per row
    if (a.size() < 3) return 2;
    HWND list = controlOf(a, 1, 2);
    if (!list) {
        say("absent\n");
        return 1;
    }
    const int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    HWND header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
    int columns = header ? static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0)) : 1;
    if (columns < 1) columns = 1;
    const int selected = static_cast<int>(SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0));
    say("rows=%d columns=%d selected=%d\n", rows, columns, selected);
    Remote remote(list, 4096);
    if (!remote.ok()) {
        say("no-remote-memory\n");
        return 1;
    }
    for (int row = 0; row < rows; ++row) {
        LPARAM param = 0;
        int image = -1;
        std::string line = "row=" + std::to_string(row);
        line += "\ttext=" + itemText(list, remote, row, 0, &param, &image);
        for (int column = 1; column < columns; ++column)
            line += "\tsub" + std::to_string(column) + "=" + itemText(list, remote, row, column, nullptr, nullptr);
        char tail[64];
        std::snprintf(tail, sizeof tail, "\tparam=%lX\timage=%d", static_cast<unsigned long>(param), image);
        say("%s%s\n", line.c_str(), tail);
    }
    return 0;
}

int cmdListRect(const Args& a) {  // listrect TITLE ID ROW: the row's label rectangle on screen
    if (a.size() < 4) return 2;
    HWND list = controlOf(a, 1, 2);
    if (!list) return 1;
    Remote remote(list, 64);
    if (!remote.ok()) return 1;
    RECT rect{};
    rect.left = LVIR_LABEL;
    WriteProcessMemory(remote.process, remote.memory, &rect, sizeof rect, nullptr);
    if (!SendMessageA(list, LVM_GETITEMRECT, number(a[3]), reinterpret_cast<LPARAM>(remote.memory))) {
        say("no-row\n");
        return 1;
    }
    ReadProcessMemory(remote.process, remote.memory, &rect, sizeof rect, nullptr);
    MapWindowPoints(list, nullptr, reinterpret_cast<POINT*>(&rect), 2);
    say("rect=%ld,%ld,%ld,%ld\n", rect.left, rect.top, rect.right, rect.bottom);
    return 0;
}

// ---------------------------------------------------------- tray menu

int cmdMenu(const Args& a) {  // menu [TIMEOUT_MS]: the open popup menu's rect and, if readable, its items
    HWND popup = nullptr;
    const unsigned long timeout = a.size() > 1 ? number(a[1]) : 0;
    auto visiblePopup = [&] {
        popup = FindWindowA("#32768", nullptr);
        return popup && IsWindowVisible(popup);
    };
    if (!pollUntil(timeout, visiblePopup)) {
        say("no-menu\n");
        return 1;
    }
    RECT rect{};
    GetWindowRect(popup, &rect);
    say("menu rect=%ld,%ld,%ld,%ld\n", rect.left, rect.top, rect.right, rect.bottom);
    HMENU menu = reinterpret_cast<HMENU>(SendMessageA(popup, MN_GETHMENU, 0, 0));
    const int count = menu ? GetMenuItemCount(menu) : -1;
    say("hmenu=%p items=%d\n", static_cast<void*>(menu), count);
    for (int i = 0; i < count; ++i) {
        char text[256] = {};
        GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
        RECT item{};
        GetMenuItemRect(nullptr, menu, static_cast<UINT>(i), &item);
        say("item=%d id=%u text=%s rect=%ld,%ld,%ld,%ld\n", i, GetMenuItemID(menu, i), text, item.left, item.top,
            item.right, item.bottom);
    }
    return 0;
}

// --------------------------------------------------- pictures to match

bool saveBitmap(const char* path, HDC dc, HBITMAP bitmap, int width, int height) {
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const int stride = ((width * 3) + 3) & ~3;
    std::vector<std::uint8_t> pixels(static_cast<size_t>(stride) * height);
    GetDIBits(dc, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    FILE* out = std::fopen(path, "wb");
    if (!out) return false;
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info, sizeof info, 1, out);
    std::fwrite(pixels.data(), 1, pixels.size(), out);
    std::fclose(out);
    return true;
}

COLORREF parseColor(const std::string& text) {  // "r,g,b"
    unsigned r = 0, g = 0, b = 0;
    std::sscanf(text.c_str(), "%u,%u,%u", &r, &g, &b);
    return RGB(r, g, b);
}

// ------------------------------------------------ the notification area

struct TrayTips {
    HWND taskbar;
    std::vector<std::string> lines;
};

// Each tray icon has a tooltip owned by the taskbar (Wine 8) or by the icon's
// own window inside it (Wine 10); its tools carry the icon's tip text and
// place. The tool data lives in the shell's process, so it is read through
// memory allocated there.
BOOL CALLBACK collectTrayTips(HWND window, LPARAM data) {
    auto* tray = reinterpret_cast<TrayTips*>(data);
    char cls[64] = {};
    GetClassNameA(window, cls, sizeof cls);
    HWND owner = GetWindow(window, GW_OWNER);
    if (lstrcmpiA(cls, TOOLTIPS_CLASSA) != 0 || !owner || (owner != tray->taskbar && !IsChild(tray->taskbar, owner)))
        return TRUE;
    Remote remote(window, sizeof(TOOLINFOA) + 256);
    if (!remote.ok()) return TRUE;
    const int tools = static_cast<int>(SendMessageA(window, TTM_GETTOOLCOUNT, 0, 0));
    for (int index = 0; index < tools; ++index) {
        TOOLINFOA tool{};
        tool.cbSize = sizeof tool;
        tool.lpszText = remote.memory + sizeof(TOOLINFOA);
        char text[256] = {};
        WriteProcessMemory(remote.process, remote.memory + sizeof(TOOLINFOA), text, sizeof text, nullptr);
        WriteProcessMemory(remote.process, remote.memory, &tool, sizeof tool, nullptr);
        if (!SendMessageA(window, TTM_ENUMTOOLSA, index, reinterpret_cast<LPARAM>(remote.memory))) continue;
        ReadProcessMemory(remote.process, remote.memory, &tool, sizeof tool, nullptr);
        ReadProcessMemory(remote.process, remote.memory + sizeof(TOOLINFOA), text, sizeof text - 1, nullptr);
        RECT rect = tool.rect;
        if (tool.uFlags & TTF_IDISHWND)
            GetWindowRect(reinterpret_cast<HWND>(tool.uId), &rect);
        else
            MapWindowPoints(tool.hwnd, nullptr, reinterpret_cast<POINT*>(&rect), 2);
        char line[400];
        std::snprintf(line, sizeof line, "rect=%ld,%ld,%ld,%ld tip=%s", rect.left, rect.top, rect.right, rect.bottom,
                      text);
        tray->lines.push_back(line);
    }
    return TRUE;
}

// tray [repaint]: one line per icon in the taskbar's notification area, with
// its screen rect and tip text. "repaint" first has the taskbar erase and
// repaint itself and every icon in it, so that a screenshot taken next shows
// each icon as it is now, not drawn over the one it replaced.
int cmdTray(const Args& a) {
    HWND taskbar = FindWindowA("Shell_TrayWnd", nullptr);
    if (!taskbar) {
        say("no-taskbar\n");
        return 1;
    }
    if (a.size() > 1 && a[1] == "repaint")
        RedrawWindow(taskbar, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_ERASENOW | RDW_UPDATENOW);
    TrayTips tray{taskbar, {}};
    EnumWindows(collectTrayTips, reinterpret_cast<LPARAM>(&tray));
    for (const std::string& line : tray.lines) say("%s\n", line.c_str());
    return 0;
}

// icon EXE ID OUT.bmp R,G,B: the program's own icon resource drawn at tray size
// over a background colour, as a template for finding it on screen.
int cmdIcon(const Args& a) {
    if (a.size() < 5) return 2;
    HMODULE module = LoadLibraryExA(a[1].c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        say("cannot-load-module error=%lu\n", GetLastError());
        return 1;
    }
    const int size = GetSystemMetrics(SM_CXSMICON);
    HICON icon = static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(number(a[2])), IMAGE_ICON, size, size, 0));
    if (!icon) {
        say("no-icon error=%lu\n", GetLastError());
        return 1;
    }
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, size, size);
    HGDIOBJ old = SelectObject(dc, bitmap);
    HBRUSH brush = CreateSolidBrush(parseColor(a[4]));
    RECT all{0, 0, size, size};
    FillRect(dc, &all, brush);
    DrawIconEx(dc, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
    SelectObject(dc, old);
    const bool saved = saveBitmap(a[3].c_str(), dc, bitmap, size, size);
    DeleteObject(brush);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    DestroyIcon(icon);
    FreeLibrary(module);
    say("icon size=%d\n", size);
    return saved ? 0 : 1;
}

// text TEXT OUT.bmp R,G,B R,G,B: the text in the menu font, foreground on
// background, cropped to its extent; matched against a screenshot of the menu.
int cmdText(const Args& a) {
    if (a.size() < 5) return 2;
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    HFONT font = CreateFontIndirectA(&metrics.lfMenuFont);
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HGDIOBJ oldFont = SelectObject(dc, font);
    // A text with '&' is drawn as a menu draws it: the next letter underlined.
    const bool mnemonic = a[1].find('&') != std::string::npos;
    SIZE extent{};
    RECT measured{};
    if (mnemonic) {
        DrawTextA(dc, a[1].c_str(), -1, &measured, DT_CALCRECT | DT_SINGLELINE);
        extent = {measured.right, measured.bottom};
    } else {
        GetTextExtentPoint32A(dc, a[1].c_str(), static_cast<int>(a[1].size()), &extent);
    }
    HBITMAP bitmap = CreateCompatibleBitmap(screen, extent.cx, extent.cy);
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    HBRUSH brush = CreateSolidBrush(parseColor(a[4]));
    RECT all{0, 0, extent.cx, extent.cy};
    FillRect(dc, &all, brush);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, parseColor(a[3]));
    if (mnemonic)
        DrawTextA(dc, a[1].c_str(), -1, &measured, DT_SINGLELINE);
    else
        TextOutA(dc, 0, 0, a[1].c_str(), static_cast<int>(a[1].size()));
    SelectObject(dc, oldBitmap);
    SelectObject(dc, oldFont);
    const bool saved = saveBitmap(a[2].c_str(), dc, bitmap, extent.cx, extent.cy);
    DeleteObject(brush);
    DeleteObject(bitmap);
    DeleteObject(font);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    say("text size=%ld,%ld\n", extent.cx, extent.cy);
    return saved ? 0 : 1;
}

int cmdColors(const Args&) {  // the system colours the tray and menus are painted with
    const struct {
        const char* name;
        int index;
    } colors[] = {{"btnface", COLOR_BTNFACE}, {"menu", COLOR_MENU},         {"menutext", COLOR_MENUTEXT},
                  {"highlight", COLOR_HIGHLIGHT}, {"highlighttext", COLOR_HIGHLIGHTTEXT}};
    for (const auto& c : colors) {
        COLORREF value = GetSysColor(c.index);
        say("%s=%u,%u,%u\n", c.name, GetRValue(value), GetGValue(value), GetBValue(value));
    }
    return 0;
}

// ---------------------------------------------------- the policy file

BOOL CALLBACK listMenuWindow(HWND window, LPARAM) {
    char cls[16] = {};
    GetClassNameA(window, cls, sizeof cls);
    if (std::strcmp(cls, "#32768") != 0 || !IsWindowVisible(window)) return TRUE;
    RECT rect{};
    GetWindowRect(window, &rect);
    say("menu rect=%ld,%ld,%ld,%ld\n", rect.left, rect.top, rect.right, rect.bottom);
    return TRUE;
}

int cmdMenus(const Args&) {  // menus: the rectangle of every open popup menu (a submenu too)
    EnumWindows(listMenuWindow, 0);
    return 0;
}

int cmdConf(const Args& a) {  // conf FILE: decoded records, framing first
    if (a.size() < 2) return 2;
    // Read without blocking anyone for long, and report a refused open: that
    // is how a file held by a running copy shows.
    HANDLE file = CreateFileA(a[1].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        say("open-failed error=%lu\n", GetLastError());
        return 1;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    CloseHandle(file);
    say("size=%u\n", static_cast<unsigned>(bytes.size()));

    // Framing, as the bytes lie: tag and protected length of every record.
    size_t at = 0;
    while (at + 5 <= bytes.size()) {
        std::uint32_t length = 0;
        std::memcpy(&length, &bytes[at + 1], 4);
        say("record tag=%02X length=%u\n", bytes[at], length);
        // Only the password, drive and media records count bytes; every other
        // tag (trusted and read-only records among them) counts 4-byte words.
        const bool byteLength = bytes[at] == ventrix::PasswordTag || bytes[at] == ventrix::DriveTag ||
                                bytes[at] == ventrix::MediaTag;
        at += 5 + (byteLength ? static_cast<size_t>(length) : size_t{length} * 4);
    }
    if (at != bytes.size()) say("framing-trailing=%d\n", static_cast<int>(bytes.size() - at));

#ifdef E2E_PROJECT_PROTECTOR
    ventrix::DpapiProtector protector;
#else
    LocalDpapi protector;
#endif
    ventrix::PolicyTables tables;
    std::string password = "<none>";
    ventrix::parseConfiguration(bytes.data(), bytes.size(), protector, tables, password);
    say("password=%s\n", password.c_str());
    for (const auto& media : tables.mediaRecords()) {
        char label[261] = {};
        std::memcpy(label, media.label, 260);
        say("media label=%s serial=%X type=%u\n", label, media.serial, media.driveType);
    }
    for (const auto& drive : tables.driveEntries())
        say("drive letter=%c locked=%u\n", drive.letter ? drive.letter : '?', static_cast<unsigned>(drive.locked));
    for (const auto& media : tables.trustedRecords()) {
        char label[261] = {};
        std::memcpy(label, media.label, 260);
        say("trusted label=%s serial=%X type=%u\n", label, media.serial, media.driveType);
    }
    for (const auto& drive : tables.readOnlyEntries())
        say("readonly-drive letter=%c flag=%u\n", drive.letter ? drive.letter : '?', static_cast<unsigned>(drive.locked));
    for (const auto& disk : tables.readOnlyDisks())
        say("readonly-disk disk=%u letter=%c\n", static_cast<unsigned>(disk.disk), disk.letter ? disk.letter : '?');
    return 0;
}


// makeconf FILE ITEM...: writes a policy file as the program would, for a
// scenario's starting state. Items: password=TEXT, drive=L:0|1,
// media=LABEL:HEXSERIAL:TYPE, trusted=LABEL:HEXSERIAL:TYPE.
int cmdMakeConf(const Args& a) {
    if (a.size() < 2) return 2;
    ventrix::PolicyTables tables;
    std::string password = ventrix::DefaultPassword;
    for (size_t i = 2; i < a.size(); ++i) {
        const std::string& item = a[i];
        if (item.rfind("password=", 0) == 0) {
            password = item.substr(9);
        } else if (item.rfind("drive=", 0) == 0 && item.size() >= 9) {
            tables.appendLoadedDrive({item[6], static_cast<std::uint8_t>(item[8] == '1' ? 1 : 0)});
        } else if (item.rfind("media=", 0) == 0 || item.rfind("trusted=", 0) == 0) {
            const bool trusted = item[0] == 't';
            const std::string rest = item.substr(trusted ? 8 : 6);
            const size_t first = rest.find(':'), second = rest.rfind(':');
            if (first == std::string::npos || first == second) return 2;
            ventrix::LockedMediaRecord record{};
            std::strncpy(record.label, rest.substr(0, first).c_str(), ventrix::MaxLabelLength);
            record.serial = static_cast<std::uint32_t>(std::strtoul(rest.substr(first + 1, second - first - 1).c_str(), nullptr, 16));
            record.driveType = static_cast<std::uint32_t>(number(rest.substr(second + 1)));
            if (trusted)
                tables.appendLoadedTrusted(record);
            else
                tables.appendLoadedMedia(record);
        } else {
            return 2;
        }
    }
#ifdef E2E_PROJECT_PROTECTOR
    ventrix::DpapiProtector protector;
#else
    LocalDpapi protector;
#endif
    std::vector<std::uint8_t> bytes;
    if (!ventrix::buildConfiguration(tables, password, protector, bytes)) return 1;
    FILE* out = std::fopen(a[1].c_str(), "wb");
    if (!out) return 1;
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
    say("written size=%u\n", static_cast<unsigned>(bytes.size()));
    return 0;
}

// Opens the file the way the program does (read, no sharing) to tell whether
// someone holds it.
int cmdHeld(const Args& a) {
    if (a.size() < 2) return 2;
    HANDLE file =
        CreateFileA(a[1].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        say("held error=%lu\n", GetLastError());
        return 0;
    }
    CloseHandle(file);
    say("free\n");
    return 1;
}

// holdfile PATH / releasefile: another program holding a file exclusively
// (in serve mode, until released or the probe ends).
HANDLE heldFile = INVALID_HANDLE_VALUE;

int cmdHoldFile(const Args& a) {
    if (a.size() < 2 || heldFile != INVALID_HANDLE_VALUE) return 2;
    heldFile = CreateFileA(a[1].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return heldFile == INVALID_HANDLE_VALUE ? 1 : 0;
}

int cmdReleaseFile(const Args&) {
    if (heldFile == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(heldFile);
    heldFile = INVALID_HANDLE_VALUE;
    return 0;
}

// settingchange AREA: the system's WM_SETTINGCHANGE broadcast, as Group
// Policy sends "Policy" after a refresh.
int cmdSettingChange(const Args& a) {
    if (a.size() < 2) return 2;
    DWORD_PTR answer = 0;
    return SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(a[1].c_str()),
                               SMTO_ABORTIFHUNG, 5000, &answer)
               ? 0
               : 1;
}

// traydelete TITLE: removes the tray icon (id 0) of that window, as a
// crashing Explorer takes every icon with it.
int cmdTrayDelete(const Args& a) {
    if (a.size() < 2) return 2;
    NOTIFYICONDATAA icon{};
    icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
    icon.hWnd = findWindow(a[1]);
    if (!icon.hWnd) return 1;
    return Shell_NotifyIconA(NIM_DELETE, &icon) ? 0 : 1;
}

// taskbarcreated: what a new Explorer broadcasts once its taskbar is up.
int cmdTaskbarCreated(const Args&) {
    DWORD_PTR answer = 0;
    return SendMessageTimeoutA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 5000,
                               &answer)
               ? 0
               : 1;
}

// pipe STEP...: one connection to the service's pipe, as any program of the
// user could make it. Steps: hello, status, lock, unlock:PASSWORD[:MINUTES],
// exit:PASSWORD, configure:PASSWORD, drives, arrival:MASK, policy, junk (bytes of no message),
// big (one byte over the largest message). One line per step: the reply's
// kind and what it says, or "closed" once the service has ended the connection.
HANDLE pipeOpen() {
    HANDLE pipe = CreateFileA(ventrix::PipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return pipe;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    return pipe;
}

std::vector<std::uint8_t> pipeStep(const std::string& step) {
    using ventrix::Request;
    using ventrix::RequestKind;
    const std::size_t colon = step.find(':');
    const std::string verb = step.substr(0, colon);
    std::string argument = colon == std::string::npos ? "" : step.substr(colon + 1);
    std::uint32_t minutes = 0;
    if (const std::size_t second = argument.find(':'); second != std::string::npos) {
        minutes = static_cast<std::uint32_t>(number(argument.substr(second + 1)));
        argument.resize(second);
    }
    if (verb == "junk") return {0xFF, 0xFF, 0x01, 0x02};
    if (verb == "big") return std::vector<std::uint8_t>(ventrix::MaxMessageBytes + 1, 0x01);
    Request request;
    if (verb == "hello")
        request = {.kind = RequestKind::Hello,
                   .version = argument.empty() ? ventrix::ProtocolVersion : static_cast<std::uint16_t>(number(argument))};
    else if (verb == "status") request = {.kind = RequestKind::Status};
    else if (verb == "lock") request = {.kind = RequestKind::Lock};
    else if (verb == "unlock") request = {.kind = RequestKind::Unlock, .password = argument, .minutes = minutes};
    else if (verb == "exit") request = {.kind = RequestKind::CheckExit, .password = argument};
    else if (verb == "configure") request = {.kind = RequestKind::OpenConfiguration, .password = argument};
    else if (verb == "drives") request = {.kind = RequestKind::Drives};
    else if (verb == "policy") request = {.kind = RequestKind::PolicyChanged};
    else if (verb == "toggle") request = {.kind = RequestKind::ToggleDrive, .root = argument + ":\\"};
    else if (verb == "apply") request = {.kind = RequestKind::Apply};
    else if (verb == "arrival")
        request = {.kind = RequestKind::DeviceArrival, .unitMask = static_cast<std::uint32_t>(number(argument))};
    else return {};
    return ventrix::encodeRequest(request);
}

int cmdPipe(const Args& a) {
    HANDLE pipe = pipeOpen();
    if (pipe == INVALID_HANDLE_VALUE) {
        say("no-pipe error=%lu\n", GetLastError());
        return 1;
    }
    std::vector<std::uint8_t> buffer(ventrix::MaxMessageBytes);
    for (std::size_t i = 1; i < a.size(); ++i) {
        const std::vector<std::uint8_t> message = pipeStep(a[i]);
        DWORD done = 0;
        if (message.empty() || !WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &done, nullptr)) {
            say("%s closed\n", a[i].c_str());
            continue;
        }
        ventrix::ServerMessage reply;
        do {
            if (!ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &done, nullptr) ||
                !ventrix::decodeServerMessage(buffer.data(), done, reply)) {
                reply.kind = ventrix::ServerKind{};
                break;
            }
        } while (ventrix::isNotice(reply.kind));
        if (reply.kind == ventrix::ServerKind{}) {
            say("%s closed\n", a[i].c_str());
            continue;
        }
        say("%s kind=0x%04X on=%d outcome=%d wait=%lu drives=%u\n", a[i].substr(0, a[i].find(':')).c_str(),
            static_cast<unsigned>(reply.kind), reply.status.protectionOn ? 1 : 0,
            static_cast<int>(reply.password.outcome), static_cast<unsigned long>(reply.password.waitMs),
            static_cast<unsigned>(reply.drives.size()));
    }
    CloseHandle(pipe);
    return 0;
}

// crowd IDLE FLOODERS SECONDS: what one program of a user can do to the
// service's pipe for that long: FLOODERS connections that say Hello and then
// ask Status without ever reading a reply (connecting again when dropped),
// then IDLE connections that say nothing. Prints "crowding" once they are
// made, and at the end how many times the flooders were dropped.
struct Flood {
    DWORD until = 0;
    LONG drops = 0;
};

DWORD WINAPI flood(void* context) {
    auto& shared = *static_cast<Flood*>(context);
    const std::vector<std::uint8_t> hello = pipeStep("hello"), status = pipeStep("status");
    while (static_cast<LONG>(shared.until - GetTickCount()) > 0) {
        HANDLE pipe = pipeOpen();
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(50);
            continue;
        }
        DWORD done = 0;
        bool open = WriteFile(pipe, hello.data(), static_cast<DWORD>(hello.size()), &done, nullptr) != FALSE;
        while (open && static_cast<LONG>(shared.until - GetTickCount()) > 0)
            open = WriteFile(pipe, status.data(), static_cast<DWORD>(status.size()), &done, nullptr) != FALSE;
        if (!open) InterlockedIncrement(&shared.drops);
        CloseHandle(pipe);
    }
    return 0;
}

int cmdCrowd(const Args& a) {
    if (a.size() < 4) return 2;
    static Flood shared;
    shared.until = GetTickCount() + static_cast<DWORD>(number(a[3])) * 1000;
    std::vector<HANDLE> held;
    for (unsigned long i = 0; i < number(a[2]); ++i)
        held.push_back(CreateThread(nullptr, 0, flood, &shared, 0, nullptr));
    Sleep(500);  // the flooders connect first
    for (unsigned long i = 0; i < number(a[1]); ++i) held.push_back(pipeOpen());
    say("crowding\n");
    std::fflush(stdout);
    while (static_cast<LONG>(shared.until - GetTickCount()) > 0) Sleep(100);
    say("drops=%ld\n", shared.drops);
    return 0;
}

// squat SECONDS: takes the service's pipe name before the service does, as
// a hostile program could, and reports what its callers sent it.
int cmdSquat(const Args& a) {
    if (a.size() < 2) return 2;
    HANDLE pipe = CreateNamedPipeA(ventrix::PipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    say("squatting\n");
    std::fflush(stdout);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const DWORD until = GetTickCount() + static_cast<DWORD>(number(a[1])) * 1000;
    unsigned callers = 0, bytes = 0;
    while (static_cast<LONG>(until - GetTickCount()) > 0) {
        ResetEvent(overlapped.hEvent);
        if (!ConnectNamedPipe(pipe, &overlapped) && GetLastError() != ERROR_IO_PENDING &&
            GetLastError() != ERROR_PIPE_CONNECTED)
            break;
        if (GetLastError() != ERROR_PIPE_CONNECTED &&
            WaitForSingleObject(overlapped.hEvent, until - GetTickCount()) != WAIT_OBJECT_0)
            break;
        ++callers;
        char buffer[4096];
        DWORD got = 0;
        ResetEvent(overlapped.hEvent);
        if (ReadFile(pipe, buffer, sizeof buffer, nullptr, &overlapped) || GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(overlapped.hEvent, 2000) == WAIT_OBJECT_0 &&
                GetOverlappedResult(pipe, &overlapped, &got, FALSE))
                bytes += got;
            CancelIo(pipe);
        }
        DisconnectNamedPipe(pipe);
    }
    say("callers=%u bytes=%u\n", callers, bytes);
    return 0;
}

// mutex NAME: creates the named mutex and holds it for the probe's life, as
// any user's program could before the service starts.
int cmdMutex(const Args& a) {
    if (a.size() < 2) return 2;
    if (!CreateMutexA(nullptr, FALSE, a[1].c_str())) return 1;
    say("%s\n", GetLastError() == ERROR_ALREADY_EXISTS ? "existed" : "created");
    return 0;
}

// servicepid: the process of the running Ventrix service (its trace lines
// start with it, in hex), as the service manager reports it.
int cmdServicePid(const Args&) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, ventrix::ServiceName, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    const bool known = service && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                                       reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    if (!known) return 1;
    say("pid=%04lx state=%lu\n", status.dwProcessId, status.dwCurrentState);
    return 0;
}

// starttype disabled|demand: the Ventrix service's start type, as an
// administrator sets it (Wine's sc has no "config").
int cmdStartType(const Args& a) {
    if (a.size() < 2) return 2;
    const DWORD type = a[1] == "disabled" ? SERVICE_DISABLED : SERVICE_DEMAND_START;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, ventrix::ServiceName, SERVICE_CHANGE_CONFIG) : nullptr;
    const bool changed = service && ChangeServiceConfigA(service, SERVICE_NO_CHANGE, type, SERVICE_NO_CHANGE, nullptr,
                                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    say(changed ? "changed\n" : "refused\n");
    return changed ? 0 : 1;
}

// hold: keeps the prefix's desktop and services up with no inherited pipes.
int cmdHold(const Args&) {
    GetDesktopWindow();
    Sleep(INFINITE);
    return 0;
}

// decoy TITLE: a top-level window of another program bearing TITLE, kept
// until the process is ended.
int cmdDecoy(const Args& a) {
    if (a.size() < 2) return 2;
    HWND window = CreateWindowA("STATIC", a[1].c_str(), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    if (!window) return 1;
    say("decoy %p\n", static_cast<void*>(window));
    std::fflush(stdout);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}

int dispatch(const Args& a) {
    if (a.empty()) return 2;
    const std::string& c = a[0];
    if (c == "find") return cmdFind(a);
    if (c == "wait") return cmdWait(a);
    if (c == "gone") return cmdGone(a);
    if (c == "count") return cmdCount(a);
    if (c == "foreground") return cmdForeground(a);
    if (c == "focus") return cmdFocus(a);
    if (c == "control") return cmdControl(a);
    if (c == "children") return cmdChildren(a);
    if (c == "shortcut") return cmdShortcut(a);
    if (c == "exitcode") return cmdExitCode(a);
    if (c == "box") return cmdBox(a);
    if (c == "nobox") return cmdNoBox(a);
    if (c == "click") return cmdClick(a);
    if (c == "settext") return cmdSetText(a);
    if (c == "wtext") return cmdWideText(a);
    if (c == "command") return cmdCommand(a);
    if (c == "post") return cmdPost(a);
    if (c == "close") return cmdClose(a);
    if (c == "arrive") return cmdArrive(a);
    if (c == "listview") return cmdListView(a);
    if (c == "listrect") return cmdListRect(a);
    if (c == "menu") return cmdMenu(a);
    if (c == "menus") return cmdMenus(a);
    if (c == "icon") return cmdIcon(a);
    if (c == "tray") return cmdTray(a);
    if (c == "text") return cmdText(a);
    if (c == "colors") return cmdColors(a);
    if (c == "conf") return cmdConf(a);
    if (c == "held") return cmdHeld(a);
    if (c == "holdfile") return cmdHoldFile(a);
    if (c == "settingchange") return cmdSettingChange(a);
    if (c == "traydelete") return cmdTrayDelete(a);
    if (c == "pipe") return cmdPipe(a);
    if (c == "servicepid") return cmdServicePid(a);
    if (c == "starttype") return cmdStartType(a);
    if (c == "squat") return cmdSquat(a);
    if (c == "crowd") return cmdCrowd(a);
    if (c == "mutex") return cmdMutex(a);
    if (c == "taskbarcreated") return cmdTaskbarCreated(a);
    if (c == "releasefile") return cmdReleaseFile(a);
    if (c == "hold") return cmdHold(a);
    if (c == "decoy") return cmdDecoy(a);
    if (c == "list") return cmdList(a);
    if (c == "closehwnd") return cmdCloseHandle(a);
    if (c == "watch") return cmdWatch(a);
    if (c == "getsel") return cmdGetSel(a);
    if (c == "makeconf") return cmdMakeConf(a);
    say("unknown command %s\n", c.c_str());
    return 2;
}

Args splitTabs(const std::string& line) {
    Args out;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return out;
}

int serve() {
    char buffer[8192];
    while (std::fgets(buffer, sizeof buffer, stdin)) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line == "quit") break;
        const int status = line.empty() ? 2 : dispatch(splitTabs(line));
        say("@@end %d\n", status);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Args args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "serve") return serve();
    return dispatch(args);
}
