#include <windows.h>

#include <optional>
#include <stdexcept>
#include <thread>

#include "base/unicode.h"
#include "support/process_runner.h"

namespace quarry::testing {
namespace {

std::wstring wide(const std::string& utf8) {
  const std::u16string text = decodeLossless(utf8);
  return std::wstring(text.begin(), text.end());
}

// Quotes one argument the way the runtime's command-line parser splits it again.
std::wstring quoted(const std::wstring& argument) {
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(2 * backslashes, L'\\');
  out.push_back(L'"');
  return out;
}

// The C runtime writes text streams with CRLF line ends; the tests compare LF text.
void foldLineEnds(std::string& text) {
  std::string folded;
  folded.reserve(text.size());
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (!(text[k] == '\r' && k + 1 < text.size() && text[k + 1] == '\n')) folded.push_back(text[k]);
  }
  text.swap(folded);
}

void readAll(HANDLE pipe, std::string* sink) {
  if (pipe == nullptr) return;  // its reader has gone
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) sink->append(buffer, got);
  CloseHandle(pipe);
}

void makePipe(HANDLE& readEnd, HANDLE& writeEnd) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
}

// Sets the variables for the child and puts the old values back when it has started.
struct EnvironmentOverride {
  std::vector<std::pair<std::wstring, std::optional<std::wstring>>> saved;
  explicit EnvironmentOverride(const ProcessOptions& options) {
    for (const auto& [name, value] : options.environment) {
      wchar_t old[32768];
      const DWORD length = GetEnvironmentVariableW(wide(name).c_str(), old, 32768);
      saved.emplace_back(wide(name), length > 0 ? std::optional<std::wstring>(old) : std::nullopt);
      SetEnvironmentVariableW(wide(name).c_str(), wide(value).c_str());
    }
  }
  ~EnvironmentOverride() {
    for (const auto& [name, value] : saved) {
      SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr);
    }
  }
};

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
  std::wstring commandLine = quoted(wide(program));
  for (const std::string& argument : arguments) commandLine += L" " + quoted(wide(argument));
  HANDLE outRead, outWrite, errRead, errWrite;
  makePipe(outRead, outWrite);
  makePipe(errRead, errWrite);
  // A reader that has gone: the program's writes to that pipe fail.
  if (options.outReaderGone) outRead = (CloseHandle(outRead), nullptr);
  if (options.errReaderGone) errRead = (CloseHandle(errRead), nullptr);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  BOOL started = FALSE;
  {
    EnvironmentOverride environment(options);
    const std::wstring folder = wide(options.workingDirectory);
    started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             folder.empty() ? nullptr : folder.c_str(), &startup, &process);
  }
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  CloseHandle(input);
  if (!started) {
    if (outRead != nullptr) CloseHandle(outRead);
    if (errRead != nullptr) CloseHandle(errRead);
    throw std::runtime_error("CreateProcessW failed for " + program);
  }
  ProcessResult result;
  std::thread errReader(readAll, errRead, &result.err);
  std::thread outReader(readAll, outRead, &result.out);
  const DWORD timeout = static_cast<DWORD>(options.timeoutSeconds) * 1000;
  if (WaitForSingleObject(process.hProcess, timeout) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 1);
    result.timedOut = true;
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  outReader.join();
  errReader.join();
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  result.exitCode = static_cast<int>(code);
  foldLineEnds(result.out);
  foldLineEnds(result.err);
  return result;
}

}  // namespace quarry::testing
