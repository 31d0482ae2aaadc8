// Running programs from tests and capturing what they print.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProcessResult {
    int exit_code = -1;  // -1 when the program did not exit normally
    std::string out;     // standard output and standard error, interleaved
};

// Runs argv[0] with the given arguments and extra environment entries
// ("NAME=value"), waiting at most timeout_seconds.
ProcessResult run_process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                          int timeout_seconds = 60);

// A fresh directory under /tmp, removed with its contents by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The whole file ("" or empty when it cannot be read); writing replaces it
// (false on failure).
std::string read_file(const std::string& path);
std::vector<uint8_t> read_file_bytes(const std::string& path);
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// The descriptors this process holds: how many, and "fd -> target" of each
// (for messages).
int open_descriptor_count();
std::string open_descriptor_list();
