// quorvane_bench_measure RESULT COMMAND [ARGS...]: runs COMMAND to its end and writes its peak
// resident size (kB), CPU time (user and system, microseconds) and page faults (minor, major) to
// the file RESULT, one line;
// exits as the command did (128 + the signal when a signal ended it).
//
// The whole-sync benchmark starts its commands through this small program: a process started
// from a large one counts the large one's resident size in its own peak (the kernel carries the
// peak of the image it replaces over the exec), so a command started from the benchmark, which
// holds a whole population, would never report a peak below the benchmark's own.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RESULT COMMAND [ARGS...]\n", argv[0]);
        return 2;
    }
    const pid_t pid = fork();
    if (pid < 0) return 127;
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    while (wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR) return 127;
    }
    if (FILE* out = std::fopen(argv[1], "w")) {
        std::fprintf(out, "%ld %lld %lld %ld %ld\n", ru.ru_maxrss,
                     (long long)ru.ru_utime.tv_sec * 1000000 + ru.ru_utime.tv_usec,
                     (long long)ru.ru_stime.tv_sec * 1000000 + ru.ru_stime.tv_usec, ru.ru_minflt, ru.ru_majflt);
        std::fclose(out);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
