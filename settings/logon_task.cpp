// The log-on task's XML and the secure-location rule, in fixed buffers.
#include "settings/logon_task.h"

#include <cwchar>

namespace {

// Appends to a fixed buffer; once something does not fit, nothing more does.
struct Writer {
  wchar_t* out;
  size_t size;
  size_t used;
  bool fits;

  void add(const wchar_t* text) {
    for (; *text != L'\0'; ++text) put(*text);
  }
  void put(wchar_t c) {
    if (!fits || used + 1 >= size) {
      fits = false;
      return;
    }
    out[used++] = c;
  }
  void addEscaped(const wchar_t* text) {
    for (; *text != L'\0'; ++text) {
      switch (*text) {
        case L'&': add(L"&amp;"); break;
        case L'<': add(L"&lt;"); break;
        case L'>': add(L"&gt;"); break;
        case L'"': add(L"&quot;"); break;
        case L'\'': add(L"&apos;"); break;
        default: put(*text);
      }
    }
  }
};

}  // namespace

bool buildLogonTaskXml(const wchar_t* programPath, wchar_t* xml, size_t size) {
  if (size == 0) return false;
  Writer w = {xml, size, 0, true};
  // The principal names a group, not a user: the task then runs for whoever
  // logs on, and registering it needs no password.
  w.add(L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
        L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
        L"  <RegistrationInfo>\n"
        L"    <Description>Starts Quorvel at log-on so that its schedule keeps the clock right."
        L"</Description>\n"
        L"  </RegistrationInfo>\n"
        L"  <Triggers>\n"
        L"    <LogonTrigger>\n"
        L"      <Enabled>true</Enabled>\n"
        L"    </LogonTrigger>\n"
        L"  </Triggers>\n"
        L"  <Principals>\n"
        L"    <Principal id=\"Author\">\n"
        L"      <GroupId>S-1-5-32-545</GroupId>\n"
        L"      <RunLevel>HighestAvailable</RunLevel>\n"
        L"    </Principal>\n"
        L"  </Principals>\n"
        L"  <Settings>\n"
        L"    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\n"
        L"    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\n"
        L"    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\n"
        L"    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>\n"
        L"    <Enabled>true</Enabled>\n"
        L"  </Settings>\n"
        L"  <Actions Context=\"Author\">\n"
        L"    <Exec>\n"
        L"      <Command>");
  w.addEscaped(programPath);
  w.add(L"</Command>\n"
        L"      <Arguments>s</Arguments>\n"
        L"    </Exec>\n"
        L"  </Actions>\n"
        L"</Task>\n");
  xml[w.fits ? w.used : 0] = L'\0';
  return w.fits;
}

namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

wchar_t asciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

// "X:\..." or "\\server\...". "X:name" and "\name" depend on the current
// folder of a drive and so say nothing about where the file is.
bool isAbsolute(const wchar_t* path, size_t length) {
  if (length >= 3 && isAsciiLetter(path[0]) && path[1] == L':' && isSeparator(path[2])) return true;
  return length >= 3 && isSeparator(path[0]) && isSeparator(path[1]) && !isSeparator(path[2]);
}

bool hasDotPart(const wchar_t* path, size_t length) {
  size_t start = 0;
  while (start <= length) {
    size_t end = start;
    while (end < length && !isSeparator(path[end])) ++end;
    const size_t part = end - start;
    if ((part == 1 || part == 2) && path[start] == L'.' && (part == 1 || path[start + 1] == L'.')) return true;
    start = end + 1;
  }
  return false;
}

bool isInside(const wchar_t* path, size_t pathLength, const wchar_t* folder) {
  size_t length = std::wcslen(folder);
  if (!isAbsolute(folder, length)) return false;
  while (length > 0 && isSeparator(folder[length - 1])) --length;
  if (pathLength <= length + 1 || !isSeparator(path[length])) return false;
  for (size_t i = 0; i < length; ++i) {
    if (asciiLower(path[i]) != asciiLower(folder[i])) return false;
  }
  // Something must follow the separator(s): the folder itself is no file in it.
  for (size_t i = length; i < pathLength; ++i) {
    if (!isSeparator(path[i])) return true;
  }
  return false;
}

bool hasStreamName(const wchar_t* path, size_t length) {
  for (size_t i = 2; i < length; ++i) {
    if (path[i] == L':') return true;
  }
  return false;
}

}  // namespace

bool isInSecureFolder(const wchar_t* programPath, const wchar_t* const secureFolders[], int count) {
  const size_t length = std::wcslen(programPath);
  if (!isAbsolute(programPath, length) || hasDotPart(programPath, length) ||
      hasStreamName(programPath, length))
    return false;
  for (int i = 0; i < count; ++i) {
    if (secureFolders[i] != nullptr && isInside(programPath, length, secureFolders[i])) return true;
  }
  return false;
}

bool plainFinalPath(const wchar_t* finalPath, wchar_t* out, size_t size) {
  if (size == 0) return false;
  const wchar_t* rest = finalPath;
  const wchar_t* lead = L"";
  if (std::wcsncmp(finalPath, L"\\\\?\\UNC\\", 8) == 0) {
    rest = finalPath + 8;
    lead = L"\\\\";
  } else if (std::wcsncmp(finalPath, L"\\\\?\\", 4) == 0) {
    rest = finalPath + 4;
  }
  const size_t leadLength = std::wcslen(lead);
  const size_t restLength = std::wcslen(rest);
  if (leadLength + restLength >= size) {
    out[0] = L'\0';
    return false;
  }
  std::wmemcpy(out, lead, leadLength);
  std::wmemcpy(out + leadLength, rest, restLength + 1);
  return true;
}
