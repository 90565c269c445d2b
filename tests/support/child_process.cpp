#include "support/child_process.h"

#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#ifdef _WIN32

std::wstring Wide(const std::string& utf8) {
  int size =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  if (size > 0)
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], size);
  return wide;
}

// One argument as the C runtime splits a command line: quoted, with the backslashes before a
// quote doubled.
std::wstring Quoted(const std::wstring& argument) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
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
  return out + L"\"";
}

BOOL WINAPI StayAlive(DWORD) {
  return TRUE;
}

// A console of the test's own: under Wine a program started from a Unix shell has none that
// can carry control events. This process lets them pass; its children keep their handlers.
void OwnConsole() {
  static bool done = false;
  if (done) return;
  done = true;
  FreeConsole();
  AllocConsole();
  SetConsoleCtrlHandler(StayAlive, TRUE);
}

#endif

}  // namespace

ChildRun RunChild(const fs::path& program, const std::vector<std::string>& arguments,
                  const ChildSetup& setup) {
  ChildRun run;
  fs::path inputFile = setup.files / "child-stdin", errorFile = setup.files / "child-stderr";
  std::ofstream(inputFile, std::ios::binary) << setup.input;
#ifdef _WIN32
  if (setup.interruptWhen) OwnConsole();
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE input = CreateFileW(inputFile.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  HANDLE error = CreateFileW(errorFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
  HANDLE readEnd, writeEnd;
  CreatePipe(&readEnd, &writeEnd, &inherit, 0);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnd;
  startup.hStdError = error;
  std::wstring commandLine = Quoted(program.wstring());
  for (const std::string& argument : arguments) commandLine += L" " + Quoted(Wide(argument));
  // The environment as it is, but for the temporary directory.
  std::wstring environment;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* at = strings; *at != 0; at += wcslen(at) + 1)
    if (_wcsnicmp(at, L"TMP=", 4) != 0 && _wcsnicmp(at, L"TEMP=", 5) != 0)
      environment.append(at).push_back(0);
  FreeEnvironmentStringsW(strings);
  for (const wchar_t* name : {L"TMP=", L"TEMP="})
    environment.append(name).append(setup.temp.wstring()).push_back(0);
  environment.push_back(0);
  PROCESS_INFORMATION process;
  BOOL started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                CREATE_UNICODE_ENVIRONMENT, &environment[0],
                                setup.directory.c_str(), &startup, &process);
  CloseHandle(writeEnd);
  CloseHandle(input);
  CloseHandle(error);
  if (!started) {
    CloseHandle(readEnd);
    return run;
  }
  if (setup.interruptWhen) {
    while (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT && !setup.interruptWhen())
      Sleep(5);
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  }
  char buffer[65536];
  DWORD got;
  while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
    run.out.append(buffer, got);
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  run.exitCode = static_cast<int>(code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
#else
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return run;
  pid_t child = fork();
  if (child == 0) {
    int input = open(inputFile.c_str(), O_RDONLY);
    int error = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (input < 0 || error < 0 || chdir(setup.directory.c_str()) != 0) _exit(127);
    dup2(input, 0);
    dup2(pipeEnds[1], 1);
    dup2(error, 2);
    close(pipeEnds[0]);
    setenv("TMPDIR", setup.temp.c_str(), 1);
    // The stops as usual, whatever this process ignores or blocks.
    for (int stop : {SIGINT, SIGTERM, SIGHUP}) signal(stop, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  if (child < 0) {
    close(pipeEnds[0]);
    return run;
  }
  int status = 0;
  bool ended = false;
  while (setup.interruptWhen && !(ended = waitpid(child, &status, WNOHANG) == child)) {
    if (setup.interruptWhen()) {
      kill(child, SIGINT);
      break;
    }
    usleep(2000);
  }
  char buffer[65536];
  ssize_t got;
  while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
    run.out.append(buffer, static_cast<size_t>(got));
  close(pipeEnds[0]);
  if (ended || waitpid(child, &status, 0) == child)
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
  run.err = ReadFile(errorFile);
  return run;
}
