// Running programs from tests and capturing what they print.
#pragma once

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

std::string read_file(const std::string& path);
