#pragma once
// Runs a piece of a test in a forked child, so that signal handlers, process-wide flags and
// deliberate crashes stay out of the test process. The child ends with _exit(body's result);
// a child that hangs is ended by SIGALRM after 120 s, which the caller sees as that signal.
// Also: reading back what a crashed child left (a file, the report it wrote).

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "crashreporter/report/QVCrashReport.pb-c.h"

namespace quorvane::test {

// Whole seconds of the clock the report writer reads. (time() reads a coarser clock that can be
// a tick behind it, so near a second's turn it gives the earlier second.)
inline int64_t realtimeSeconds() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec);
}

struct ChildResult {
    bool exited = false;
    int exitCode = -1;
    bool signaled = false;
    int signal = 0;
    std::string describe() const {
        return exited ? "exit " + std::to_string(exitCode) : signaled ? "signal " + std::to_string(signal) : "other";
    }
};

inline ChildResult runInChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        struct rlimit noCore = {0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::alarm(120);  // a hung child ends; a ceiling, generous for a loaded machine
        int rc = body();
        ::_exit(rc);
    }
    ChildResult result;
    if (pid < 0) return result;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signaled = true;
        result.signal = WTERMSIG(status);
    }
    return result;
}

// The id of a process that has ended.
inline pid_t deadProcessId() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid;
}

// Forks `count` children (no exec) that crash with SIGSEGV at one moment, and waits for them.
// Their process ids; empty when one did not end by that signal.
inline std::vector<pid_t> crashTogether(size_t count) {
    void* page = ::mmap(nullptr, sizeof(std::atomic<size_t>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return {};
    auto* ready = new (page) std::atomic<size_t>(0);
    std::vector<pid_t> pids;
    std::fflush(nullptr);
    for (size_t i = 0; i < count; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            struct rlimit noCore = {0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            ::alarm(120);
            ready->fetch_add(1);
            while (ready->load() < count) {
            }
            *reinterpret_cast<volatile int*>(uintptr_t(0x10)) = 1;
            ::_exit(0);
        }
        if (pid > 0) pids.push_back(pid);
    }
    bool crashed = pids.size() == count;
    for (pid_t pid : pids) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        crashed = crashed && WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV;
    }
    ::munmap(page, sizeof(std::atomic<size_t>));
    return crashed ? pids : std::vector<pid_t>{};
}

// A file a crashing child appends to with open/write/close only (async-signal-safe).
class Marker {
public:
    explicit Marker(const std::string& name) {
        std::string p = (std::filesystem::temp_directory_path() /
                         ("qv-marker-" + std::to_string(::getpid()) + "-" + name)).string();
        std::snprintf(path_, sizeof(path_), "%s", p.c_str());
        ::unlink(path_);
    }
    ~Marker() { ::unlink(path_); }
    // Async-signal-safe.
    void append(const char* text) const {
        int fd = ::open(path_, O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd < 0) return;
        size_t n = 0;
        while (text[n]) ++n;
        ssize_t w = ::write(fd, text, n);
        (void)w;
        ::close(fd);
    }
    std::string read() const {
        std::string out;
        int fd = ::open(path_, O_RDONLY);
        if (fd < 0) return out;
        char buf[512];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
        ::close(fd);
        return out;
    }

private:
    char path_[512];
};

// The whole of a file; empty when it cannot be read.
inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A stored report (the 8-byte frame, then the message) and its message unpacked, freed with it.
struct UnpackedReport {
    std::string bytes;
    Qvcrash__CrashReport* message = nullptr;

    UnpackedReport() = default;
    UnpackedReport(const UnpackedReport&) = delete;
    UnpackedReport& operator=(const UnpackedReport&) = delete;
    ~UnpackedReport() {
        if (message != nullptr) qvcrash__crash_report__free_unpacked(message, nullptr);
    }
    // Keeps the bytes and unpacks the message after the frame; false when there is none.
    bool unpack(std::string framed) {
        bytes = std::move(framed);
        if (bytes.size() <= 8) return false;
        message = qvcrash__crash_report__unpack(nullptr, bytes.size() - 8, reinterpret_cast<const uint8_t*>(bytes.data()) + 8);
        return message != nullptr;
    }
    const Qvcrash__CrashReport__Thread* crashedThread() const {
        for (size_t i = 0; message != nullptr && i < message->n_threads; ++i) {
            if (message->threads[i]->crashed) return message->threads[i];
        }
        return nullptr;
    }
};

}  // namespace quorvane::test
