// Stand-in for the console server: takes the launcher's five arguments, runs headless until
// it is killed, and writes a fresh log holding a "Code: N" line.
//
// Tests steer it through the environment it inherits from the launcher:
//   LUDOVANE_STANDIN_RECORD   file to append "pid<TAB>program<TAB>arg1<TAB>...<TAB>arg5" at start
//   LUDOVANE_STANDIN_CODE     the code to log (default: a number made from the pid)
//   LUDOVANE_STANDIN_DELAY_MS wait this long before logging the code
//   LUDOVANE_STANDIN_EXIT_MS  exit on its own after this long
//   LUDOVANE_STANDIN_FLOOD_MB write this many MiB to standard output, then record "flooded"
//   LUDOVANE_STANDIN_LOG=off  leave the log file alone
//   LUDOVANE_STANDIN_CHILD=1  start a helper process of its own, which ignores SIGTERM, SIGINT
//                             and SIGHUP and records "child<TAB>pid<TAB>console";
//                             =setsid: the helper leaves the server's group and session;
//                             =double-fork: and its parent, which ends at once, as a daemon's
//                             does (on Windows any value: a second ludovane.exe with the
//                             arguments --standin-helper CONSOLE)
//
// The Windows build (ludovane.exe beside the cross-built launcher) reads its arguments and
// variables as UTF-16 and writes UTF-8, so paths with any letters work as they do on Linux.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <csignal>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <shellapi.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
std::string utf8(const wchar_t *text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string &text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(size > 0 ? size - 1 : 0, L'\0');
    if (size > 1)
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], size);
    return out;
}

long processId()
{
    return long(GetCurrentProcessId());
}

std::FILE *openFile(const std::string &path, const char *mode)
{
    return _wfopen(wide(path).c_str(), wide(mode).c_str());
}
#else
long processId()
{
    return long(::getpid());
}

std::FILE *openFile(const std::string &path, const char *mode)
{
    return std::fopen(path.c_str(), mode);
}
#endif

const char *env(const char *name)
{
#ifdef _WIN32
    // Kept for the process's life: callers hold on to the pointer.
    static std::vector<std::string> values;
    const wchar_t *value = _wgetenv(wide(name).c_str());
    if (!value || !*value)
        return nullptr;
    values.push_back(utf8(value));
    return values.back().c_str();
#else
    const char *value = std::getenv(name);
    return value && *value ? value : nullptr;
#endif
}

long envNumber(const char *name, long fallback)
{
    const char *value = env(name);
    return value ? std::strtol(value, nullptr, 10) : fallback;
}

// One write() per line, on an O_APPEND descriptor, so that servers started in quick
// succession never interleave their lines.
void record(const std::string &line)
{
    const char *path = env("LUDOVANE_STANDIN_RECORD");
    if (!path)
        return;
    const std::string text = line + '\n';
#ifdef _WIN32
    // Append-only access: each write lands at the end, whole.
    const HANDLE file = CreateFileW(wide(path).c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    if (!WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr))
        std::perror("record");
    CloseHandle(file);
#else
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0)
        return;
    if (::write(fd, text.data(), text.size()) < 0)
        std::perror("record");
    ::close(fd);
#endif
}

void sleepMs(long ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t **wideArgs = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> all;
    for (int i = 0; i < count; ++i)
        all.push_back(utf8(wideArgs[i]));
    LocalFree(wideArgs);
    const std::string program = all.empty() ? std::string() : all[0];
    const std::vector<std::string> args(all.begin() + (all.empty() ? 0 : 1), all.end());
#else
    const std::string program = argv[0];
    const std::vector<std::string> args(argv + 1, argv + argc);
#endif
    std::string line = std::to_string(processId()) + '\t' + program;
    for (const std::string &arg : args)
        line += '\t' + arg;
    record(line);

#ifdef _WIN32
    if (args.size() == 2 && args[0] == "--standin-helper") {
        record("child\t" + std::to_string(processId()) + '\t' + args[1]);
        for (;;)
            sleepMs(1000);
    }
#endif
    if (args.size() != 5 || args[0] != "-batchmode" || args[1] != "-nographics"
        || args[2] != "-logFile" || args[4].rfind("-console=", 0) != 0) {
        std::fprintf(stderr,
                     "usage: %s -batchmode -nographics -logFile PATH -console=NAME\n",
                     program.c_str());
        return 2;
    }
    const std::string &logPath = args[3];
    const std::string console = args[4].substr(std::strlen("-console="));
    const bool writeLog = !(env("LUDOVANE_STANDIN_LOG")
                            && std::strcmp(env("LUDOVANE_STANDIN_LOG"), "off") == 0);
    const std::string code = env("LUDOVANE_STANDIN_CODE")
                                 ? env("LUDOVANE_STANDIN_CODE")
                                 : std::to_string(1000 + processId() % 9000);

#ifndef _WIN32
    if (env("LUDOVANE_STANDIN_CHILD") && ::fork() == 0) {
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            std::signal(signal, SIG_IGN);
        if (std::strcmp(env("LUDOVANE_STANDIN_CHILD"), "1") != 0)
            ::setsid();
        if (std::strcmp(env("LUDOVANE_STANDIN_CHILD"), "double-fork") == 0 && ::fork() != 0)
            ::_exit(0);
        record("child\t" + std::to_string(::getpid()) + '\t' + console);
        for (;;)
            ::pause();
    }
#else
    if (env("LUDOVANE_STANDIN_CHILD")) {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(self) + L"\" --standin-helper " + wide(console);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION helper{};
        if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &helper)) {
            CloseHandle(helper.hThread);
            CloseHandle(helper.hProcess);
        }
    }
#endif

    FILE *log = writeLog ? openFile(logPath, "w") : nullptr; // a new log each start
    if (log) {
        std::fprintf(log, "Stand-in server started for console %s\n", console.c_str());
        std::fflush(log);
    }

    const long flood = envNumber("LUDOVANE_STANDIN_FLOOD_MB", 0);
    if (flood > 0) {
        const std::string block(1 << 20, 'x');
        for (long i = 0; i < flood; ++i)
            if (std::fwrite(block.data(), 1, block.size(), stdout) != block.size())
                break;
        std::fflush(stdout);
        record("flooded\t" + std::to_string(processId()));
    }

    sleepMs(envNumber("LUDOVANE_STANDIN_DELAY_MS", 0));
    if (log) {
        std::fprintf(log, "Serving %s\nCode: %s\n", console.c_str(), code.c_str());
        std::fflush(log);
    }

    const long exitMs = envNumber("LUDOVANE_STANDIN_EXIT_MS", -1);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        sleepMs(50);
        if (exitMs >= 0
            && std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(exitMs))
            break;
    }
    if (log)
        std::fclose(log);
    return 0;
}
