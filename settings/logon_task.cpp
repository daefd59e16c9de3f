// The log-on task's XML and the secure-location rule.
#include "settings/logon_task.h"

std::wstring xmlEscaped(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (const wchar_t c : text) {
    switch (c) {
      case L'&': out += L"&amp;"; break;
      case L'<': out += L"&lt;"; break;
      case L'>': out += L"&gt;"; break;
      case L'"': out += L"&quot;"; break;
      case L'\'': out += L"&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::wstring logonTaskXml(const std::wstring& programPath) {
  // The principal names a group, not a user: the task then runs for whoever
  // logs on, and registering it needs no password.
  return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
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
         L"      <Command>" +
         xmlEscaped(programPath) +
         L"</Command>\n"
         L"      <Arguments>s</Arguments>\n"
         L"    </Exec>\n"
         L"  </Actions>\n"
         L"</Task>\n";
}

namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

wchar_t asciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

// "X:\..." or "\\server\...". "X:name" and "\name" depend on the current
// folder of a drive and so say nothing about where the file is.
bool isAbsolute(const std::wstring& path) {
  if (path.size() >= 3 && isAsciiLetter(path[0]) && path[1] == L':' && isSeparator(path[2])) return true;
  return path.size() >= 3 && isSeparator(path[0]) && isSeparator(path[1]) && !isSeparator(path[2]);
}

bool hasDotPart(const std::wstring& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    const std::wstring part = path.substr(start, end - start);
    if (part == L"." || part == L"..") return true;
    start = end + 1;
  }
  return false;
}

bool isInside(const std::wstring& path, const std::wstring& folder) {
  if (!isAbsolute(folder)) return false;
  size_t length = folder.size();
  while (length > 0 && isSeparator(folder[length - 1])) --length;
  if (path.size() <= length + 1 || !isSeparator(path[length])) return false;
  for (size_t i = 0; i < length; ++i) {
    if (asciiLower(path[i]) != asciiLower(folder[i])) return false;
  }
  // Something must follow the separator(s): the folder itself is no file in it.
  for (size_t i = length; i < path.size(); ++i) {
    if (!isSeparator(path[i])) return true;
  }
  return false;
}

}  // namespace

bool isInSecureFolder(const std::wstring& programPath, const std::vector<std::wstring>& secureFolders) {
  if (!isAbsolute(programPath) || hasDotPart(programPath)) return false;
  for (const std::wstring& folder : secureFolders) {
    if (isInside(programPath, folder)) return true;
  }
  return false;
}
