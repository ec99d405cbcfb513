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
//                             and SIGHUP and records "child<TAB>pid<TAB>console"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

const char *env(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value ? value : nullptr;
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
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0)
        return;
    const std::string text = line + '\n';
    if (::write(fd, text.data(), text.size()) < 0)
        std::perror("record");
    ::close(fd);
}

void sleepMs(long ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string line = std::to_string(::getpid()) + '\t' + argv[0];
    for (const std::string &arg : args)
        line += '\t' + arg;
    record(line);

    if (args.size() != 5 || args[0] != "-batchmode" || args[1] != "-nographics"
        || args[2] != "-logFile" || args[4].rfind("-console=", 0) != 0) {
        std::fprintf(stderr,
                     "usage: %s -batchmode -nographics -logFile PATH -console=NAME\n", argv[0]);
        return 2;
    }
    const std::string &logPath = args[3];
    const std::string console = args[4].substr(std::strlen("-console="));
    const bool writeLog = !(env("LUDOVANE_STANDIN_LOG")
                            && std::strcmp(env("LUDOVANE_STANDIN_LOG"), "off") == 0);
    const std::string code = env("LUDOVANE_STANDIN_CODE")
                                 ? env("LUDOVANE_STANDIN_CODE")
                                 : std::to_string(1000 + ::getpid() % 9000);

    if (env("LUDOVANE_STANDIN_CHILD") && ::fork() == 0) {
        for (int signal : {SIGTERM, SIGINT, SIGHUP})
            std::signal(signal, SIG_IGN);
        record("child\t" + std::to_string(::getpid()) + '\t' + console);
        for (;;)
            ::pause();
    }

    FILE *log = writeLog ? std::fopen(logPath.c_str(), "w") : nullptr; // a new log each start
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
        record("flooded\t" + std::to_string(::getpid()));
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
