#pragma once
// A small child process (a "sleep") whose memory the image-reader fuzz targets write their input
// into and then read as the target task: the low end of its stack, far below anything "sleep"
// uses. Whatever sizes and addresses an image claims, reads reach only that child's few
// megabytes. The input can also be offered as the image's file (a memfd).

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"

namespace quorvane::fuzz {

constexpr size_t kImageBytes = 64 * 1024;

struct Target {
    pid_t pid = -1;
    uint64_t image = 0;  // where the image goes in the child
    int fileDescriptor = -1;
    char filePath[64] = {};
};

inline pid_t child;
inline void stopChild() {
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}

inline Target& target() {
    static Target t = [] {
        Target made;
        made.pid = fork();
        FUZZ_CHECK(made.pid >= 0, "the target process is started");
        if (made.pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            execlp("sleep", "sleep", "100000", static_cast<char*>(nullptr));
            _exit(127);
        }
        child = made.pid;
        std::atexit(stopChild);
        // Once the child runs "sleep" (not the copy of this process that fork made), its stack
        // mapping: the low end is far below anything "sleep" uses.
        std::string proc = "/proc/" + std::to_string(made.pid);
        for (int attempt = 0; attempt < 5000; ++attempt) {
            std::string comm;
            std::getline(std::ifstream(proc + "/comm"), comm);
            if (comm == "sleep") break;
            usleep(1000);
        }
        for (int attempt = 0; attempt < 1000 && !made.image; ++attempt) {
            std::ifstream in(proc + "/maps");
            std::string line;
            while (std::getline(in, line)) {
                if (line.find("[stack]") == std::string::npos || line.find("/") != std::string::npos) continue;
                unsigned long long low = 0, high = 0;
                if (std::sscanf(line.c_str(), "%llx-%llx", &low, &high) == 2 && high - low >= 2 * kImageBytes)
                    made.image = low;
            }
            if (!made.image) usleep(1000);  // the child is still exec-ing
        }
        FUZZ_CHECK(made.image, "the target's stack is found");
        made.fileDescriptor = memfd_create("fuzz-image", 0);
        FUZZ_CHECK(made.fileDescriptor >= 0, "the image file is made");
        std::snprintf(made.filePath, sizeof made.filePath, "/proc/self/fd/%d", made.fileDescriptor);
        return made;
    }();
    return t;
}

// Writes the input (at most kImageBytes, the rest zero) into the child and into the file.
inline void writeInput(Target& t, const uint8_t* data, size_t size) {
    static std::vector<uint8_t> buffer(kImageBytes);
    std::fill(buffer.begin(), buffer.end(), 0);
    std::memcpy(buffer.data(), data, size);
    iovec local{buffer.data(), kImageBytes}, remote{reinterpret_cast<void*>(t.image), kImageBytes};
    FUZZ_CHECK(process_vm_writev(t.pid, &local, 1, &remote, 1, 0) == ssize_t(kImageBytes), "the image is written");
    FUZZ_CHECK(ftruncate(t.fileDescriptor, 0) == 0 && pwrite(t.fileDescriptor, data, size, 0) == ssize_t(size),
               "the image file is written");
}

}  // namespace quorvane::fuzz
