#pragma once
// An open file, read from a position; closed when the last owner lets go.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/foundation/Value.h"

namespace quorvane::platform {

class FileHandle {
public:
    // nullptr when the file cannot be opened for reading.
    static std::shared_ptr<FileHandle> forReadingAtPath(const std::filesystem::path& path);
    // Takes over an open descriptor.
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int fileDescriptor() const { return fd_; }
    bool seekToFileOffset(uint64_t offset);
    uint64_t offsetInFile() const;
    // Reads from the current position to the end; nullopt on a read error.
    std::optional<Bytes> readDataToEndOfFile();
    std::optional<Bytes> readDataOfLength(size_t length);
    std::optional<uint64_t> fileSize() const;

private:
    int fd_;
};

}  // namespace quorvane::platform
