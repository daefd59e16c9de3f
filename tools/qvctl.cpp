// qvctl: the end-to-end tests' hands and eyes. It runs in the same Wine prefix
// and on the same display as quorvel.exe and looks at and drives the program
// from outside, the way another desktop program could: registry, windows,
// controls, the server list view, message boxes and processes.
//
//   qvctl.exe               read one command per line from stdin, answer one line
//                           on stdout each (flushed), until "quit" or end of input
//   qvctl.exe CMD ARG...    run one command and print its answer (for debugging)
//
// A command line is words separated by blanks. A word is either bare (no blanks
// or quotes; backslashes are literal, so SOFTWARE\Quorvel works as is) or
// double-quoted with the escapes \\ \" \n \r \t \xHH. Numbers are decimal or
// 0x-hex and may be negative. In one-shot mode every argument is one word as is.
//
// An answer is "ok" followed by its fields, or "err" and a quoted message.
// Texts in answers are always quoted with the escapes above (bytes outside
// 0x20..0x7e as \xHH); window handles are printed as 0x-hex, 0 meaning none;
// byte strings as hex digits, "-" when empty. {...}... means the group of fields
// repeats once per item.
//
// Registry (PATH relative to HKEY_LOCAL_MACHINE, e.g. SOFTWARE\Quorvel, or under
// HKEY_CURRENT_USER when it starts with HKCU\):
//   reg-set-dword PATH NAME NUMBER
//   reg-set-binary PATH NAME HEX          HEX may be - for no bytes
//   reg-set-sz PATH NAME TEXT             stored with its terminating NUL
//   reg-get PATH NAME                     -> ok missing | ok TYPE HEX (TYPE: REG_* number)
//   reg-delete-value PATH NAME            -> ok 1 deleted | ok 0 was not there
//   reg-delete-key PATH                   -> ok 1 | ok 0; removes everything below too
//   reg-key-exists PATH                   -> ok 1 | ok 0
//   reg-values PATH                       -> ok {NAME}...; err when the key is missing
//   reg-get-wide PATH NAME                -> ok missing | ok TYPE TEXT: a REG_SZ read with
//                                            the wide call, as UTF-8 (no terminator)
// Windows (HWND: a handle from find-window and friends; ID: a dialog control id;
// in the control commands below, ID 0 means HWND is the control itself):
//   find-window TITLE [ID]                -> ok HWND: a top-level window with exactly this
//                                            title, hidden ones included; with ID only one
//                                            that has a control with that id
//   windows [PID]                         -> ok {HWND PID CLASS VISIBLE TITLE}... top-level
//   children HWND                         -> ok {HWND ID CLASS VISIBLE TEXT}... all descendants
//   is-window HWND | visible HWND | enabled HWND   -> ok 0|1
//   class HWND                            -> ok CLASS
//   pid HWND                              -> ok PID (Win32 process id)
//   foreground                            -> ok HWND
//   text HWND                             -> ok TEXT (WM_GETTEXT)
//   item HWND ID                          -> ok HWND of the control, 0 when none
//   item-text HWND ID                     -> ok TEXT
//   set-text HWND TEXT                    -> ok (WM_SETTEXT)
//   rect HWND                             -> ok LEFT TOP RIGHT BOTTOM (screen pixels)
//   placement HWND                        -> ok HEX (the 44-byte WINDOWPLACEMENT)
//   move HWND X Y                         -> ok (SetWindowPos without size: WM_MOVE)
//   show HWND SW                          -> ok (ShowWindowAsync)
//   post HWND MSG WPARAM LPARAM           -> ok
//   send HWND MSG WPARAM LPARAM [MS]      -> ok RESULT | err timeout (SendMessageTimeout)
//   click HWND ID                         -> ok; posts WM_COMMAND(ID, BN_CLICKED) to HWND
//   msgbox CAPTION                        -> ok HWND TEXT | ok 0 "": a message box (dialog
//                                            with a message text control) with this caption
//   msgboxes                              -> ok {HWND CAPTION TEXT}...
//   tb-get HWND ID                        -> ok POS (trackbar)
//   tb-set HWND ID POS                    -> ok; no notification (post WM_HSCROLL for that)
//   fake-window TITLE ID MODE             -> ok HWND: a top-level window of this process with
//                                            the title and a child control ID, made by a thread
//                                            of its own that pumps its messages; with MODE hung
//                                            it never returns from a WM_COMMAND; hidden
// List view (HWND ID: the dialog and the list's control id; ID 0: HWND is the list):
//   lv-count HWND ID                      -> ok N
//   lv-rows HWND ID                       -> ok {IMAGE SELECTED FOCUSED PARAM TEXT0 TEXT1 TEXT2}...
//   lv-columns HWND ID                    -> ok {WIDTH TEXT}...
//   lv-select HWND ID [ROW...]            -> ok; exactly these rows selected, focus on the first
//   lv-edit HWND ID                       -> ok HWND of the open label editor, 0 when none
//   lv-click-column HWND ID COLUMN        -> ok; a left click on the column's header
// Tray (Wine's own notification area):
//   tray-icons                            -> ok {HWND TIP}... icons shown by Wine's tray
// Processes (Win32 process ids):
//   processes [NAME]                      -> ok {PID NAME}...
//   wait-pid PID MS                       -> ok exited CODE | ok running | ok missing
//   wait-idle PID MS                      -> ok idle | ok busy | ok missing: WaitForInputIdle
// Named objects (as another program could make them first):
//   mutex NAME                            -> ok: creates and holds the mutex NAME (e.g.
//                                            Local\Quorvel.Instance.1) until qvctl ends
//   session                               -> ok ID: the session id of this process
// Session:
//   timeout MS (for every send; default 5000)  echo WORD...  sleep MS  help  quit
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

DWORD sendTimeoutMs = 5000;

// ---- words in, words out ----------------------------------------------------

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Words splitLine(const std::string& line) {
    Words words;
    size_t i = 0;
    while (true) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string word;
        if (line[i] != '"') {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
            words.push_back(word);
            continue;
        }
        ++i;
        bool closed = false;
        while (i < line.size()) {
            char c = line[i++];
            if (c == '"') { closed = true; break; }
            if (c != '\\' || i >= line.size()) { word += c; continue; }
            char e = line[i++];
            switch (e) {
            case 'n': word += '\n'; break;
            case 'r': word += '\r'; break;
            case 't': word += '\t'; break;
            case 'x': {
                int hi = i < line.size() ? hexDigit(line[i]) : -1;
                int lo = i + 1 < line.size() ? hexDigit(line[i + 1]) : -1;
                if (hi < 0 || lo < 0) throw Failure("bad \\x escape");
                word += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default: word += e; break;
            }
        }
        if (!closed) throw Failure("unterminated quote");
        words.push_back(word);
    }
    return words;
}

std::string quote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') { out += '\\'; out += static_cast<char>(c); }
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c > 0x7e) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string hexBytes(const unsigned char* data, size_t size) {
    if (size == 0) return "-";
    std::string out;
    char buf[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", data[i]);
        out += buf;
    }
    return out;
}

std::vector<unsigned char> parseHex(const std::string& text) {
    std::vector<unsigned char> bytes;
    if (text == "-") return bytes;
    if (text.size() % 2 != 0) throw Failure("odd number of hex digits");
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) throw Failure("bad hex digit");
        bytes.push_back(static_cast<unsigned char>(hi * 16 + lo));
    }
    return bytes;
}

long long parseNumber(const std::string& text) {
    if (text.empty()) throw Failure("empty number");
    const char* s = text.c_str();
    bool negative = *s == '-';
    if (negative) ++s;
    char* end = nullptr;
    unsigned long long magnitude = std::strtoull(s, &end, 0);
    if (end == s || *end != 0) throw Failure("bad number: " + text);
    return negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
}

std::string number(long long value) { return std::to_string(value); }

std::string handle(HWND hwnd) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
    return buf;
}

HWND parseHandle(const std::string& text) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(parseNumber(text)));
}

void needArgs(const Words& w, size_t least, size_t most, const char* usage) {
    if (w.size() - 1 < least || w.size() - 1 > most) throw Failure(std::string("usage: ") + usage);
}

// ---- registry -----------------------------------------------------------------

struct KeyPath {
    HKEY root;
    std::string sub;
};

KeyPath keyPath(const std::string& path) {
    const std::string user = "HKCU\\";
    if (path.compare(0, user.size(), user) == 0) return {HKEY_CURRENT_USER, path.substr(user.size())};
    return {HKEY_LOCAL_MACHINE, path};
}

LONG openKey(const std::string& path, REGSAM access, HKEY* key) {
    KeyPath p = keyPath(path);
    return RegOpenKeyExA(p.root, p.sub.c_str(), 0, access, key);
}

std::string regSet(const std::string& path, const std::string& name, DWORD type,
                   const void* data, DWORD size) {
    HKEY key;
    KeyPath p = keyPath(path);
    LONG rc = RegCreateKeyExA(p.root, p.sub.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr);
    if (rc != ERROR_SUCCESS) throw Failure("cannot create key, error " + number(rc));
    rc = RegSetValueExA(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) throw Failure("cannot set value, error " + number(rc));
    return "ok";
}

std::string regGet(const std::string& path, const std::string& name) {
    HKEY key;
    if (openKey(path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "ok missing";
    DWORD type = 0, size = 0;
    LONG rc = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<unsigned char> data(size + 1);
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExA(key, name.c_str(), nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND) return "ok missing";
    if (rc != ERROR_SUCCESS) throw Failure("cannot read value, error " + number(rc));
    return "ok " + number(type) + " " + hexBytes(data.data(), size);
}

std::string regDeleteValue(const std::string& path, const std::string& name) {
    HKEY key;
    LONG rc = openKey(path, KEY_SET_VALUE, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return "ok 0";
    if (rc != ERROR_SUCCESS) throw Failure("cannot open key, error " + number(rc));
    rc = RegDeleteValueA(key, name.c_str());
    RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND) return "ok 0";
    if (rc != ERROR_SUCCESS) throw Failure("cannot delete value, error " + number(rc));
    return "ok 1";
}

std::string regDeleteKey(const std::string& path) {
    KeyPath p = keyPath(path);
    if (p.sub.empty()) throw Failure("refusing to delete the root");
    LONG rc = RegDeleteTreeA(p.root, p.sub.c_str());
    if (rc == ERROR_FILE_NOT_FOUND) return "ok 0";
    if (rc != ERROR_SUCCESS) throw Failure("cannot delete key, error " + number(rc));
    return "ok 1";
}

std::string regKeyExists(const std::string& path) {
    HKEY key;
    if (openKey(path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "ok 0";
    RegCloseKey(key);
    return "ok 1";
}

std::string regValues(const std::string& path) {
    HKEY key;
    if (openKey(path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        throw Failure("no such key");
    std::string out = "ok";
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD size = sizeof name;
        if (RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        out += " " + quote(std::string(name, size));
    }
    RegCloseKey(key);
    return out;
}

std::wstring wide(const std::string& text) {
    std::wstring out(text.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0],
                                static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string regGetWide(const std::string& path, const std::string& name) {
    KeyPath p = keyPath(path);
    HKEY key;
    if (RegOpenKeyExW(p.root, wide(p.sub).c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "ok missing";
    std::vector<wchar_t> data(32770, L'\0');
    DWORD type = 0, size = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
    LONG rc = RegQueryValueExW(key, wide(name).c_str(), nullptr, &type,
                               reinterpret_cast<BYTE*>(data.data()), &size);
    RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND) return "ok missing";
    if (rc != ERROR_SUCCESS) throw Failure("cannot read value, error " + number(rc));
    size_t length = size / sizeof(wchar_t);
    if (length > 0 && data[length - 1] == L'\0') --length;
    std::string text(length * 4 + 1, '\0');
    int n = WideCharToMultiByte(CP_UTF8, 0, data.data(), static_cast<int>(length), &text[0],
                                static_cast<int>(text.size()), nullptr, nullptr);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return "ok " + number(type) + " " + quote(text);
}

// ---- windows ------------------------------------------------------------------

LRESULT sendOrFail(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(hwnd, msg, wParam, lParam, SMTO_NORMAL, sendTimeoutMs, &result))
        throw Failure(GetLastError() == ERROR_TIMEOUT ? "timeout" : "send failed");
    return static_cast<LRESULT>(result);
}

HWND needWindow(const std::string& text) {
    HWND hwnd = parseHandle(text);
    if (!IsWindow(hwnd)) throw Failure("no such window");
    return hwnd;
}

// ID 0 means that HWND is the control itself (for controls of windows that are
// not dialogs, found with "children").
HWND needControl(const std::string& dialog, const std::string& id) {
    int controlId = static_cast<int>(parseNumber(id));
    if (controlId == 0) return needWindow(dialog);
    HWND control = GetDlgItem(needWindow(dialog), controlId);
    if (!control) throw Failure("no such control");
    return control;
}

std::string windowText(HWND hwnd) {
    char buf[8192];
    LRESULT length = sendOrFail(hwnd, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf));
    if (length < 0) length = 0;
    if (length >= static_cast<LRESULT>(sizeof buf)) length = sizeof buf - 1;
    return std::string(buf, static_cast<size_t>(length));
}

// For listings: a window may vanish while it is being listed.
std::string windowTextOrEmpty(HWND hwnd) {
    try {
        return hwnd ? windowText(hwnd) : std::string();
    } catch (const Failure&) {
        return std::string();
    }
}

std::string className(HWND hwnd) {
    char buf[256];
    int length = GetClassNameA(hwnd, buf, sizeof buf);
    return std::string(buf, length > 0 ? static_cast<size_t>(length) : 0);
}

// The caption as the system keeps it; asks nothing of the window's owner, so a
// hung program cannot hang the listing.
std::string caption(HWND hwnd) {
    char buf[1024];
    int length = GetWindowTextA(hwnd, buf, sizeof buf);
    return std::string(buf, length > 0 ? static_cast<size_t>(length) : 0);
}

DWORD windowPid(HWND hwnd) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

std::vector<HWND> topLevelWindows() {
    std::vector<HWND> found;
    EnumWindows([](HWND hwnd, LPARAM list) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::vector<HWND> descendants(HWND parent) {
    std::vector<HWND> found;
    EnumChildWindows(parent, [](HWND hwnd, LPARAM list) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&found));
    return found;
}

std::string findWindow(const Words& w) {
    needArgs(w, 1, 2, "find-window TITLE [ID]");
    int id = w.size() > 2 ? static_cast<int>(parseNumber(w[2])) : 0;
    for (HWND hwnd : topLevelWindows()) {
        if (caption(hwnd) != w[1]) continue;
        if (id != 0 && !GetDlgItem(hwnd, id)) continue;
        return "ok " + handle(hwnd);
    }
    return "ok 0";
}

std::string listWindows(const Words& w) {
    needArgs(w, 0, 1, "windows [PID]");
    long long pid = w.size() > 1 ? parseNumber(w[1]) : -1;
    std::string out = "ok";
    for (HWND hwnd : topLevelWindows()) {
        DWORD owner = windowPid(hwnd);
        if (pid >= 0 && owner != pid) continue;
        out += " " + handle(hwnd) + " " + number(owner) + " " + quote(className(hwnd)) + " " +
               (IsWindowVisible(hwnd) ? "1" : "0") + " " + quote(caption(hwnd));
    }
    return out;
}

std::string listChildren(const Words& w) {
    needArgs(w, 1, 1, "children HWND");
    std::string out = "ok";
    for (HWND child : descendants(needWindow(w[1]))) {
        out += " " + handle(child) + " " + number(GetDlgCtrlID(child)) + " " +
               quote(className(child)) + " " + (IsWindowVisible(child) ? "1" : "0") + " " +
               quote(windowTextOrEmpty(child));
    }
    return out;
}

// A message box's text sits in a static control with id 0xFFFF; fall back on the
// first static with text in case a platform numbers it differently.
HWND messageTextControl(HWND box) {
    HWND firstStatic = nullptr;
    for (HWND child : descendants(box)) {
        if ((GetDlgCtrlID(child) & 0xFFFF) == 0xFFFF) return child;
        if (!firstStatic && lstrcmpiA(className(child).c_str(), "Static") == 0 &&
            GetWindowTextLengthA(child) > 0)
            firstStatic = child;
    }
    return firstStatic;
}

bool isMessageBox(HWND hwnd) {
    if (className(hwnd) != "#32770") return false;
    for (HWND child : descendants(hwnd))
        if ((GetDlgCtrlID(child) & 0xFFFF) == 0xFFFF) return true;
    return false;
}

std::string messageBox(const Words& w) {
    needArgs(w, 1, 1, "msgbox CAPTION");
    HWND hidden = nullptr;
    for (HWND hwnd : topLevelWindows()) {
        if (caption(hwnd) != w[1] || !isMessageBox(hwnd)) continue;
        if (!IsWindowVisible(hwnd)) { if (!hidden) hidden = hwnd; continue; }
        return "ok " + handle(hwnd) + " " + quote(windowTextOrEmpty(messageTextControl(hwnd)));
    }
    if (hidden) return "ok " + handle(hidden) + " " + quote(windowTextOrEmpty(messageTextControl(hidden)));
    return "ok 0 \"\"";
}

std::string messageBoxes(const Words& w) {
    needArgs(w, 0, 0, "msgboxes");
    std::string out = "ok";
    for (HWND hwnd : topLevelWindows()) {
        if (!isMessageBox(hwnd)) continue;
        out += " " + handle(hwnd) + " " + quote(caption(hwnd)) + " " +
               quote(windowTextOrEmpty(messageTextControl(hwnd)));
    }
    return out;
}

std::string click(const Words& w) {
    needArgs(w, 2, 2, "click HWND ID");
    HWND dialog = needWindow(w[1]);
    int id = static_cast<int>(parseNumber(w[2]));
    HWND control = GetDlgItem(dialog, id);
    if (!PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control)))
        throw Failure("post failed");
    return "ok";
}

std::string postOrSend(const Words& w, bool send) {
    if (send) needArgs(w, 4, 5, "send HWND MSG WPARAM LPARAM [MS]");
    else needArgs(w, 4, 4, "post HWND MSG WPARAM LPARAM");
    HWND hwnd = needWindow(w[1]);
    UINT msg = static_cast<UINT>(parseNumber(w[2]));
    WPARAM wParam = static_cast<WPARAM>(parseNumber(w[3]));
    LPARAM lParam = static_cast<LPARAM>(parseNumber(w[4]));
    if (!send) {
        if (!PostMessageA(hwnd, msg, wParam, lParam)) throw Failure("post failed");
        return "ok";
    }
    DWORD saved = sendTimeoutMs;
    if (w.size() > 5) sendTimeoutMs = static_cast<DWORD>(parseNumber(w[5]));
    try {
        LRESULT result = sendOrFail(hwnd, msg, wParam, lParam);
        sendTimeoutMs = saved;
        return "ok " + number(result);
    } catch (...) {
        sendTimeoutMs = saved;
        throw;
    }
}

std::string rect(const Words& w) {
    needArgs(w, 1, 1, "rect HWND");
    RECT r;
    if (!GetWindowRect(needWindow(w[1]), &r)) throw Failure("GetWindowRect failed");
    return "ok " + number(r.left) + " " + number(r.top) + " " + number(r.right) + " " + number(r.bottom);
}

std::string placement(const Words& w) {
    needArgs(w, 1, 1, "placement HWND");
    WINDOWPLACEMENT wp = {};
    wp.length = sizeof wp;
    if (!GetWindowPlacement(needWindow(w[1]), &wp)) throw Failure("GetWindowPlacement failed");
    return "ok " + hexBytes(reinterpret_cast<const unsigned char*>(&wp), sizeof wp);
}

std::string move(const Words& w) {
    needArgs(w, 3, 3, "move HWND X Y");
    if (!SetWindowPos(needWindow(w[1]), nullptr, static_cast<int>(parseNumber(w[2])),
                      static_cast<int>(parseNumber(w[3])), 0, 0,
                      SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE))
        throw Failure("SetWindowPos failed");
    return "ok";
}

// ---- memory in the target process (list view items hold pointers) ------------

class RemoteBuffer {
public:
    RemoteBuffer(HWND hwnd, size_t size) : size_(size) {
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                               PROCESS_QUERY_INFORMATION, FALSE, windowPid(hwnd));
        if (!process_) throw Failure("cannot open the window's process");
        base_ = static_cast<char*>(VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE,
                                                  PAGE_READWRITE));
        if (!base_) {
            CloseHandle(process_);
            throw Failure("VirtualAllocEx failed");
        }
    }
    ~RemoteBuffer() {
        VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
        CloseHandle(process_);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    char* at(size_t offset) const { return base_ + offset; }
    LPARAM param(size_t offset = 0) const { return reinterpret_cast<LPARAM>(at(offset)); }
    void write(size_t offset, const void* data, size_t size) {
        SIZE_T done = 0;
        if (offset + size > size_ || !WriteProcessMemory(process_, at(offset), data, size, &done) ||
            done != size)
            throw Failure("WriteProcessMemory failed");
    }
    void read(size_t offset, void* data, size_t size) {
        SIZE_T done = 0;
        if (offset + size > size_ || !ReadProcessMemory(process_, at(offset), data, size, &done) ||
            done != size)
            throw Failure("ReadProcessMemory failed");
    }
    std::string readText(size_t offset, size_t capacity) {
        std::vector<char> text(capacity + 1, 0);
        read(offset, text.data(), capacity);
        return std::string(text.data());
    }

private:
    HANDLE process_ = nullptr;
    char* base_ = nullptr;
    size_t size_;
};

const size_t TEXT_OFFSET = 512;  // the text buffer follows the item record
const size_t TEXT_CAPACITY = 1024;

std::string listCount(const Words& w) {
    needArgs(w, 2, 2, "lv-count HWND ID");
    return "ok " + number(sendOrFail(needControl(w[1], w[2]), LVM_GETITEMCOUNT, 0, 0));
}

// The item data of every row, in the list's order.
std::vector<LPARAM> rowParams(HWND list, RemoteBuffer& remote) {
    std::vector<LPARAM> params;
    LRESULT count = sendOrFail(list, LVM_GETITEMCOUNT, 0, 0);
    for (int row = 0; row < count; ++row) {
        LVITEMA item = {};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        remote.write(0, &item, sizeof item);
        if (!sendOrFail(list, LVM_GETITEMA, 0, remote.param())) throw Failure("LVM_GETITEM failed");
        remote.read(0, &item, sizeof item);
        params.push_back(item.lParam);
    }
    return params;
}

std::string readRows(HWND list, RemoteBuffer& remote) {
    LRESULT count = sendOrFail(list, LVM_GETITEMCOUNT, 0, 0);
    std::string out = "ok";
    for (int row = 0; row < count; ++row) {
        LVITEMA item = {};
        item.mask = LVIF_IMAGE | LVIF_STATE | LVIF_PARAM | LVIF_TEXT;
        item.iItem = row;
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        item.pszText = remote.at(TEXT_OFFSET);
        item.cchTextMax = static_cast<int>(TEXT_CAPACITY);
        remote.write(0, &item, sizeof item);
        remote.write(TEXT_OFFSET, "", 1);
        if (!sendOrFail(list, LVM_GETITEMA, 0, remote.param())) throw Failure("LVM_GETITEM failed");
        remote.read(0, &item, sizeof item);
        std::string texts[3];
        texts[0] = remote.readText(TEXT_OFFSET, TEXT_CAPACITY);
        for (int column = 1; column < 3; ++column) {
            LVITEMA sub = {};
            sub.iSubItem = column;
            sub.pszText = remote.at(TEXT_OFFSET);
            sub.cchTextMax = static_cast<int>(TEXT_CAPACITY);
            remote.write(0, &sub, sizeof sub);
            remote.write(TEXT_OFFSET, "", 1);
            sendOrFail(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), remote.param());
            texts[column] = remote.readText(TEXT_OFFSET, TEXT_CAPACITY);
        }
        out += " " + number(item.iImage) + " " + ((item.state & LVIS_SELECTED) ? "1" : "0") + " " +
               ((item.state & LVIS_FOCUSED) ? "1" : "0") + " " + number(item.lParam);
        for (const std::string& text : texts) out += " " + quote(text);
    }
    return out;
}

// Every row takes several messages to read, and a sorted list re-sorts itself
// while a run updates it; a read the row order moved under would mix rows, so
// it is read again until the order held still around it.
std::string listRows(const Words& w) {
    needArgs(w, 2, 2, "lv-rows HWND ID");
    HWND list = needControl(w[1], w[2]);
    RemoteBuffer remote(list, TEXT_OFFSET + TEXT_CAPACITY);
    for (int attempt = 0;; ++attempt) {
        const std::vector<LPARAM> before = rowParams(list, remote);
        std::string out = readRows(list, remote);
        if (rowParams(list, remote) == before || attempt == 50) return out;
        Sleep(10);
    }
}

std::string listColumns(const Words& w) {
    needArgs(w, 2, 2, "lv-columns HWND ID");
    HWND list = needControl(w[1], w[2]);
    RemoteBuffer remote(list, TEXT_OFFSET + TEXT_CAPACITY);
    std::string out = "ok";
    for (int column = 0; column < 64; ++column) {
        LVCOLUMNA col = {};
        col.mask = LVCF_TEXT | LVCF_WIDTH;
        col.pszText = remote.at(TEXT_OFFSET);
        col.cchTextMax = static_cast<int>(TEXT_CAPACITY);
        remote.write(0, &col, sizeof col);
        remote.write(TEXT_OFFSET, "", 1);
        if (!sendOrFail(list, LVM_GETCOLUMNA, static_cast<WPARAM>(column), remote.param())) break;
        remote.read(0, &col, sizeof col);
        out += " " + number(col.cx) + " " + quote(remote.readText(TEXT_OFFSET, TEXT_CAPACITY));
    }
    return out;
}

void setItemState(HWND list, RemoteBuffer& remote, WPARAM row, UINT state, UINT mask) {
    LVITEMA item = {};
    item.state = state;
    item.stateMask = mask;
    remote.write(0, &item, sizeof item);
    if (!sendOrFail(list, LVM_SETITEMSTATE, row, remote.param())) throw Failure("LVM_SETITEMSTATE failed");
}

std::string listSelect(const Words& w) {
    if (w.size() < 3) throw Failure("usage: lv-select HWND ID [ROW...]");
    HWND list = needControl(w[1], w[2]);
    RemoteBuffer remote(list, TEXT_OFFSET);
    setItemState(list, remote, static_cast<WPARAM>(-1), 0, LVIS_SELECTED | LVIS_FOCUSED);
    for (size_t i = 3; i < w.size(); ++i) {
        UINT state = LVIS_SELECTED | (i == 3 ? LVIS_FOCUSED : 0);
        setItemState(list, remote, static_cast<WPARAM>(parseNumber(w[i])), state, state);
    }
    return "ok";
}

std::string listEditor(const Words& w) {
    needArgs(w, 2, 2, "lv-edit HWND ID");
    HWND editor = reinterpret_cast<HWND>(sendOrFail(needControl(w[1], w[2]), LVM_GETEDITCONTROL, 0, 0));
    return "ok " + handle(editor);
}

// The header only reports a click when it sees the button go down and up over
// the same item, so both are posted at the item's centre.
std::string listClickColumn(const Words& w) {
    needArgs(w, 3, 3, "lv-click-column HWND ID COLUMN");
    HWND list = needControl(w[1], w[2]);
    HWND header = reinterpret_cast<HWND>(sendOrFail(list, LVM_GETHEADER, 0, 0));
    if (!header) throw Failure("the list has no header");
    RemoteBuffer remote(header, sizeof(RECT));
    if (!sendOrFail(header, HDM_GETITEMRECT, static_cast<WPARAM>(parseNumber(w[3])), remote.param()))
        throw Failure("no such column");
    RECT r;
    remote.read(0, &r, sizeof r);
    LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    PostMessageA(header, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageA(header, WM_LBUTTONUP, 0, at);
    return "ok";
}

// ---- tray ---------------------------------------------------------------------

// Without a notification area on the display, Wine's explorer shows each tray
// icon as a window of class "__winex11_tray_icon" inside its "Wine System Tray"
// window, and keeps the icon's tip in a tooltip control whose tool is that window.
std::vector<HWND> trayIconWindows() {
    std::vector<HWND> icons;
    for (HWND top : topLevelWindows())
        for (HWND child : descendants(top))
            if (className(child) == "__winex11_tray_icon" && IsWindowVisible(child)) icons.push_back(child);
    return icons;
}

bool findTipIn(HWND tooltip, HWND icon, std::string& tip) {
    LRESULT tools = sendOrFail(tooltip, TTM_GETTOOLCOUNT, 0, 0);
    RemoteBuffer remote(tooltip, TEXT_OFFSET + TEXT_CAPACITY);
    for (LRESULT i = 0; i < tools; ++i) {
        TOOLINFOA tool = {};
        tool.cbSize = sizeof tool;
        tool.lpszText = remote.at(TEXT_OFFSET);
        remote.write(0, &tool, sizeof tool);
        remote.write(TEXT_OFFSET, "", 1);
        if (!sendOrFail(tooltip, TTM_ENUMTOOLSA, static_cast<WPARAM>(i), remote.param())) continue;
        remote.read(0, &tool, sizeof tool);
        if (tool.hwnd == icon) {
            tip = remote.readText(TEXT_OFFSET, TEXT_CAPACITY);
            return true;
        }
    }
    return false;
}

// Balloons are tooltip windows too, and one may close while it is being
// asked; a tooltip that is gone by then simply holds no tip.
std::string trayTip(HWND icon) {
    for (HWND top : topLevelWindows()) {
        if (className(top) != TOOLTIPS_CLASSA || windowPid(top) != windowPid(icon)) continue;
        std::string tip;
        try {
            if (findTipIn(top, icon, tip)) return tip;
        } catch (const Failure&) {
            if (IsWindow(top)) throw;
        }
    }
    return "";
}

std::string trayIcons(const Words& w) {
    needArgs(w, 0, 0, "tray-icons");
    std::string out = "ok";
    for (HWND icon : trayIconWindows()) out += " " + handle(icon) + " " + quote(trayTip(icon));
    return out;
}

// ---- look-alikes --------------------------------------------------------------

struct FakeWindow {
    std::string title;
    int controlId;
    bool hung;
    HWND made;
    HANDLE ready;
};

// A hung look-alike never returns from a command; everything else it handles,
// so that listing windows (which asks windows of this process for their
// texts) still works.
LRESULT CALLBACK fakeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && GetWindowLongPtrA(window, GWLP_USERDATA) != 0) Sleep(INFINITE);
    return DefWindowProcA(window, message, wParam, lParam);
}

DWORD WINAPI fakeWindowThread(void* param) {
    FakeWindow* fake = static_cast<FakeWindow*>(param);
    WNDCLASSA kind = {};
    kind.lpfnWndProc = fakeWindowProc;
    kind.hInstance = GetModuleHandleA(nullptr);
    kind.lpszClassName = "QvctlLookAlike";
    RegisterClassA(&kind);  // fails harmlessly the second time
    HWND window = CreateWindowExA(0, "QvctlLookAlike", fake->title.c_str(), WS_OVERLAPPED, 0, 0, 200,
                                  100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (window) {
        SetWindowLongPtrA(window, GWLP_USERDATA, fake->hung ? 1 : 0);
        CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 10, 10, window,
                        reinterpret_cast<HMENU>(static_cast<intptr_t>(fake->controlId)),
                        GetModuleHandleA(nullptr), nullptr);
    }
    fake->made = window;
    SetEvent(fake->ready);  // fake belongs to the caller from here on
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}

std::string fakeWindow(const Words& w) {
    needArgs(w, 3, 3, "fake-window TITLE ID MODE");
    if (w[3] != "pump" && w[3] != "hung") throw Failure("MODE is pump or hung");
    FakeWindow fake = {w[1], static_cast<int>(parseNumber(w[2])), w[3] == "hung", nullptr,
                       CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, fakeWindowThread, &fake, 0, nullptr);
    if (!thread) throw Failure("cannot start a thread");
    WaitForSingleObject(fake.ready, INFINITE);
    CloseHandle(fake.ready);
    CloseHandle(thread);
    if (!fake.made) throw Failure("cannot create the window");
    return "ok " + handle(fake.made);
}

// ---- processes ------------------------------------------------------------------

std::string processes(const Words& w) {
    needArgs(w, 0, 1, "processes [NAME]");
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) throw Failure("no process snapshot");
    std::string out = "ok";
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (w.size() > 1 && lstrcmpiA(entry.szExeFile, w[1].c_str()) != 0) continue;
        out += " " + number(entry.th32ProcessID) + " " + quote(entry.szExeFile);
    }
    CloseHandle(snapshot);
    return out;
}

// Waits until the process's thread waits for input with nothing left to handle:
// for a dialog program, until its start-up is over and its message loop runs.
std::string waitIdle(const Words& w) {
    needArgs(w, 2, 2, "wait-idle PID MS");
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                 static_cast<DWORD>(parseNumber(w[1])));
    if (!process) return "ok missing";
    DWORD waited = WaitForInputIdle(process, static_cast<DWORD>(parseNumber(w[2])));
    CloseHandle(process);
    if (waited == 0) return "ok idle";
    if (waited == WAIT_TIMEOUT) return "ok busy";
    throw Failure("WaitForInputIdle failed");
}

std::string waitPid(const Words& w) {
    needArgs(w, 2, 2, "wait-pid PID MS");
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                 static_cast<DWORD>(parseNumber(w[1])));
    if (!process) return "ok missing";
    DWORD waited = WaitForSingleObject(process, static_cast<DWORD>(parseNumber(w[2])));
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (waited != WAIT_OBJECT_0) return "ok running";
    return "ok exited " + number(code);
}

// ---- named objects --------------------------------------------------------------

std::string holdMutex(const Words& w) {
    needArgs(w, 1, 1, "mutex NAME");
    // Kept open (and owned) for the life of qvctl.
    const std::wstring name(w[1].begin(), w[1].end());
    if (!CreateMutexW(nullptr, TRUE, name.c_str())) throw Failure("cannot create the mutex");
    return "ok";
}

std::string sessionId(const Words& w) {
    needArgs(w, 0, 0, "session");
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) throw Failure("no session id");
    return "ok " + number(session);
}

// ---- dispatch -------------------------------------------------------------------

bool quitRequested = false;

std::string run(const Words& w) {
    const std::string& cmd = w[0];
    if (cmd == "reg-set-dword") {
        needArgs(w, 3, 3, "reg-set-dword PATH NAME NUMBER");
        DWORD value = static_cast<DWORD>(parseNumber(w[3]));
        return regSet(w[1], w[2], REG_DWORD, &value, sizeof value);
    }
    if (cmd == "reg-set-binary") {
        needArgs(w, 3, 3, "reg-set-binary PATH NAME HEX");
        std::vector<unsigned char> bytes = parseHex(w[3]);
        return regSet(w[1], w[2], REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    if (cmd == "reg-set-sz") {
        needArgs(w, 3, 3, "reg-set-sz PATH NAME TEXT");
        return regSet(w[1], w[2], REG_SZ, w[3].c_str(), static_cast<DWORD>(w[3].size() + 1));
    }
    if (cmd == "reg-get") { needArgs(w, 2, 2, "reg-get PATH NAME"); return regGet(w[1], w[2]); }
    if (cmd == "reg-delete-value") {
        needArgs(w, 2, 2, "reg-delete-value PATH NAME");
        return regDeleteValue(w[1], w[2]);
    }
    if (cmd == "reg-delete-key") { needArgs(w, 1, 1, "reg-delete-key PATH"); return regDeleteKey(w[1]); }
    if (cmd == "reg-key-exists") { needArgs(w, 1, 1, "reg-key-exists PATH"); return regKeyExists(w[1]); }
    if (cmd == "reg-get-wide") {
        needArgs(w, 2, 2, "reg-get-wide PATH NAME");
        return regGetWide(w[1], w[2]);
    }
    if (cmd == "fake-window") return fakeWindow(w);
    if (cmd == "reg-values") { needArgs(w, 1, 1, "reg-values PATH"); return regValues(w[1]); }

    if (cmd == "find-window") return findWindow(w);
    if (cmd == "windows") return listWindows(w);
    if (cmd == "children") return listChildren(w);
    if (cmd == "is-window") {
        needArgs(w, 1, 1, "is-window HWND");
        return IsWindow(parseHandle(w[1])) ? "ok 1" : "ok 0";
    }
    if (cmd == "visible") {
        needArgs(w, 1, 1, "visible HWND");
        return IsWindowVisible(needWindow(w[1])) ? "ok 1" : "ok 0";
    }
    if (cmd == "enabled") {
        needArgs(w, 1, 1, "enabled HWND");
        return IsWindowEnabled(needWindow(w[1])) ? "ok 1" : "ok 0";
    }
    if (cmd == "class") { needArgs(w, 1, 1, "class HWND"); return "ok " + quote(className(needWindow(w[1]))); }
    if (cmd == "pid") { needArgs(w, 1, 1, "pid HWND"); return "ok " + number(windowPid(needWindow(w[1]))); }
    if (cmd == "foreground") { needArgs(w, 0, 0, "foreground"); return "ok " + handle(GetForegroundWindow()); }
    if (cmd == "text") { needArgs(w, 1, 1, "text HWND"); return "ok " + quote(windowText(needWindow(w[1]))); }
    if (cmd == "item") {
        needArgs(w, 2, 2, "item HWND ID");
        return "ok " + handle(GetDlgItem(needWindow(w[1]), static_cast<int>(parseNumber(w[2]))));
    }
    if (cmd == "item-text") {
        needArgs(w, 2, 2, "item-text HWND ID");
        return "ok " + quote(windowText(needControl(w[1], w[2])));
    }
    if (cmd == "set-text") {
        needArgs(w, 2, 2, "set-text HWND TEXT");
        sendOrFail(needWindow(w[1]), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(w[2].c_str()));
        return "ok";
    }
    if (cmd == "rect") return rect(w);
    if (cmd == "placement") return placement(w);
    if (cmd == "move") return move(w);
    if (cmd == "show") {
        needArgs(w, 2, 2, "show HWND SW");
        ShowWindowAsync(needWindow(w[1]), static_cast<int>(parseNumber(w[2])));
        return "ok";
    }
    if (cmd == "post") return postOrSend(w, false);
    if (cmd == "send") return postOrSend(w, true);
    if (cmd == "click") return click(w);
    if (cmd == "msgbox") return messageBox(w);
    if (cmd == "msgboxes") return messageBoxes(w);
    if (cmd == "tb-get") {
        needArgs(w, 2, 2, "tb-get HWND ID");
        return "ok " + number(sendOrFail(needControl(w[1], w[2]), TBM_GETPOS, 0, 0));
    }
    if (cmd == "tb-set") {
        needArgs(w, 3, 3, "tb-set HWND ID POS");
        sendOrFail(needControl(w[1], w[2]), TBM_SETPOS, TRUE, static_cast<LPARAM>(parseNumber(w[3])));
        return "ok";
    }

    if (cmd == "lv-count") return listCount(w);
    if (cmd == "lv-rows") return listRows(w);
    if (cmd == "lv-columns") return listColumns(w);
    if (cmd == "lv-select") return listSelect(w);
    if (cmd == "lv-edit") return listEditor(w);
    if (cmd == "lv-click-column") return listClickColumn(w);

    if (cmd == "tray-icons") return trayIcons(w);
    if (cmd == "processes") return processes(w);
    if (cmd == "wait-pid") return waitPid(w);
    if (cmd == "wait-idle") return waitIdle(w);
    if (cmd == "mutex") return holdMutex(w);
    if (cmd == "session") return sessionId(w);

    if (cmd == "timeout") {
        needArgs(w, 1, 1, "timeout MS");
        sendTimeoutMs = static_cast<DWORD>(parseNumber(w[1]));
        return "ok";
    }
    if (cmd == "echo") {
        std::string out = "ok";
        for (size_t i = 1; i < w.size(); ++i) out += " " + quote(w[i]);
        return out;
    }
    if (cmd == "sleep") {
        needArgs(w, 1, 1, "sleep MS");
        Sleep(static_cast<DWORD>(parseNumber(w[1])));
        return "ok";
    }
    if (cmd == "help") return "ok " + quote("see the top of tools/qvctl.cpp");
    if (cmd == "quit") { quitRequested = true; return "ok"; }
    throw Failure("unknown command: " + cmd);
}

std::string answer(const Words& words) {
    try {
        if (words.empty()) throw Failure("empty command");
        return run(words);
    } catch (const std::exception& e) {
        return "err " + quote(e.what());
    }
}

void reply(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // Binary pipes: answers end in a bare \n, and no input byte means end of file.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc > 1) {
        std::string line = answer(Words(argv + 1, argv + argc));
        reply(line);
        return line.compare(0, 2, "ok") == 0 ? 0 : 1;
    }
    std::string line;
    int c;
    while (!quitRequested && (c = std::fgetc(stdin)) != EOF) {
        if (c != '\n') { line += static_cast<char>(c); continue; }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        try {
            reply(answer(splitLine(line)));
        } catch (const std::exception& e) {
            reply("err " + quote(e.what()));
        }
        line.clear();
    }
    return 0;
}
