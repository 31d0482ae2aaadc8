// The file side of a wire trace: creating a trace file where no file was
// before (mode 0600, never through a symlink, never over an existing file)
// and writing to it through one large buffer, so that a page's bands cost a
// handful of write calls rather than one per line.
//
// Nothing here throws or logs except TraceOutput's one warning when the file
// cannot be written: from then on the output takes and writes nothing.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace wire_trace {

// A name made safe for a file name: letters, digits, '.', '-' kept, every run
// of other characters one '_', at most `most` characters, never empty, never
// starting with '.'.
std::string file_name_part(const std::string& text, size_t most = 64);

// Creates DIRECTORY/BASE.trace, or BASE-2.trace, BASE-3.trace ... when the
// name is taken (by a file or a symlink alike), opened for writing. Returns
// the descriptor (and the path through `path`), or -1 with errno set.
int create_trace_file(const std::string& directory, const std::string& base, std::string* path);

// Creates exactly `path` the same way (no other name is tried).
int create_exclusive(const std::string& path);

class TraceOutput {
public:
    static constexpr size_t kBufferSize = size_t{1} << 20;

    TraceOutput() = default;
    TraceOutput(const TraceOutput&) = delete;
    TraceOutput& operator=(const TraceOutput&) = delete;
    ~TraceOutput() { close(); }

    // Takes over `fd` (closed by close()); false, with fd closed, when the
    // buffer cannot be had.
    bool attach(int fd, std::string path);
    bool is_open() const { return fd_ >= 0; }
    bool failed() const { return failed_; }
    const std::string& path() const { return path_; }

    // Room for `size` bytes (at most kBufferSize) at the end of the buffer;
    // null once the output failed. The bytes count after commit().
    char* reserve(size_t size) {
        if (kBufferSize - used_ < size && !flush()) return nullptr;
        return failed_ ? nullptr : buffer_ + used_;
    }
    void commit(size_t size) { used_ += size; }
    void put(const char* text, size_t size);
    void put(const char* text);

    // Writes the buffer out; false (after one warning) when the file refused it.
    bool flush();
    // Flushes and closes the file.
    void close();

private:
    int fd_ = -1;
    char* buffer_ = nullptr;
    size_t used_ = 0;
    bool failed_ = false;
    std::string path_;
};

}  // namespace wire_trace
