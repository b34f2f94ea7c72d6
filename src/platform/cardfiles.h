// Files and folders written so that a crash or a pulled card never leaves a
// half-done state behind unnoticed: files created only where nothing has the
// name yet, data and folder entries flushed to storage before the next step
// counts on them, and removals that never cross into another file system.
// Errors are given in the system's words (as strerror gives them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Who may read what is made: everyone (files 0644, folders 0755) or only the
// user (0600, 0700).
enum class Readers { Everyone, OwnerOnly };

// A file being written. Nothing is flushed by the destructor: a file counts
// as written only after Flush() and Close() have both succeeded.
class NewFile {
public:
    enum class Create {
        Exclusive,  // fails when anything has the name, a link (also a dangling one) included
        Replace,    // an existing file is emptied and written anew
    };
    NewFile(const std::string& path, Create how, Readers readers);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // False when the file could not be made; Error() says why.
    bool IsOpen() const { return fd_ >= 0; }
    // Writes all size bytes (a write that takes nothing counts as a full
    // storage). False on a failure, which Error() then names.
    bool Write(const void* data, size_t size);
    // Waits until the data written is on storage.
    bool Flush();
    // Closes the file; some file systems report a failed write only here.
    bool Close();
    // The last failure, in the system's words.
    const std::string& Error() const { return error_; }

private:
    bool Failed(int error);
    int fd_ = -1;
    std::string error_;
};

// A file read from start to end.
class FileReader {
public:
    explicit FileReader(const std::string& path);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    // Up to size bytes into buffer: how many were read, 0 at the end of the
    // file, -1 on a failure.
    int64_t Read(void* buffer, size_t size);
    const std::string& Error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};

// Makes the folder path. True when it was made, and also when something of
// any kind has that name already: the caller looks at what it is.
bool MakeFolder(const std::string& path, Readers readers, std::string* error);

// Waits until the entries of a folder (files made, renamed or removed in it)
// are on storage.
bool FlushFolder(const std::string& path, std::string* error);

// Removes a file or a link (never what a link points to, never a folder).
// True when nothing has the name afterwards, also when nothing had it before.
bool RemoveFile(const std::string& path, std::string* error);

// Removes a folder only when it is a folder (not a link to one) and holds
// nothing: some file system drivers remove a full folder with its contents.
bool RemoveEmptyFolder(const std::string& path);

// Where a path lies: on which file system, and whether it is where another
// file system (or a bind mount of the same one) is mounted.
struct Placement {
    uint64_t fileSystem = 0;
    bool mountRoot = false;
};
enum class Links { Follow, DoNotFollow };
// False when it cannot be told (the path is missing or cannot be looked at).
bool PlacementOf(const std::string& path, Links links, Placement* placement);

}  // namespace platform
