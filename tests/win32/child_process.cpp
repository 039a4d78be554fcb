#include "tests/win32/child_process.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/win32/windows_headers.h"

namespace r9::test {

std::string ExecutableFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder = path;
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

struct ChildProcess::Impl {
  PROCESS_INFORMATION process{};
  HANDLE input = nullptr;   // our end of the child's standard input
  HANDLE output = nullptr;  // our end of the child's standard output
  std::string pending;
  bool exited = false;
  DWORD exitCode = 0;
};

ChildProcess::ChildProcess(const std::string& commandLine) : impl_(std::make_unique<Impl>()) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE childIn = nullptr, childOut = nullptr;
  if (!CreatePipe(&childIn, &impl_->input, &inherit, 0)) return;
  if (!CreatePipe(&impl_->output, &childOut, &inherit, 0)) {
    CloseHandle(childIn);
    return;
  }
  SetHandleInformation(impl_->input, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(impl_->output, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn;
  startup.hStdOutput = childOut;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &impl_->process))
    impl_->process = {};
  CloseHandle(childIn);
  CloseHandle(childOut);
}

ChildProcess::~ChildProcess() {
  if (Running() && Finish(10000) == -1 && !impl_->exited) TerminateProcess(impl_->process.hProcess, 1);
  if (impl_->input) CloseHandle(impl_->input);
  if (impl_->output) CloseHandle(impl_->output);
  if (impl_->process.hProcess) CloseHandle(impl_->process.hProcess);
  if (impl_->process.hThread) CloseHandle(impl_->process.hThread);
}

unsigned long ChildProcess::ProcessId() const { return impl_->process.dwProcessId; }

bool ChildProcess::Running() const { return impl_->process.hProcess != nullptr && !impl_->exited; }

std::string ChildProcess::ReadLine(unsigned timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = impl_->pending.find('\n');
    if (end != std::string::npos) {
      std::string line = impl_->pending.substr(0, end);
      impl_->pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    DWORD available = 0;
    if (!PeekNamedPipe(impl_->output, nullptr, 0, nullptr, &available, nullptr)) return NoLine(GetLastError());
    if (available > 0) {
      char buffer[256];
      DWORD got = 0;
      if (!ReadFile(impl_->output, buffer, sizeof buffer, &got, nullptr) || got == 0) return NoLine(GetLastError());
      impl_->pending.append(buffer, got);
      continue;
    }
    if (std::chrono::steady_clock::now() > deadline) return "<no line within " + std::to_string(timeoutMs) + " ms>";
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string ChildProcess::NoLine(unsigned long error) {
  if (impl_->process.hProcess == nullptr) return "<not started>";
  // The output ends when the child does: say how it ended, once it has.
  if (error == ERROR_BROKEN_PIPE && WaitForSingleObject(impl_->process.hProcess, 5000) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(impl_->process.hProcess, &code);
    char text[48];
    std::snprintf(text, sizeof text, "<ended with exit code %lu>", static_cast<unsigned long>(code));
    return text;
  }
  return "<output failed with error " + std::to_string(error) + ">";
}

int ChildProcess::Finish(unsigned timeoutMs) {
  if (impl_->process.hProcess == nullptr) return -1;
  if (impl_->input) {
    CloseHandle(impl_->input);
    impl_->input = nullptr;
  }
  if (!impl_->exited) {
    if (WaitForSingleObject(impl_->process.hProcess, timeoutMs) != WAIT_OBJECT_0) return -1;
    impl_->exited = true;
    GetExitCodeProcess(impl_->process.hProcess, &impl_->exitCode);
  }
  return int(impl_->exitCode);
}

}  // namespace r9::test
