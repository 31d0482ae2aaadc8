#include "backend/trace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/debugtool.h"

namespace wire_trace {
namespace {

// Distinct names tried before a directory counts as unusable.
constexpr int kMostSuffixes = 1000;

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

}  // namespace

std::string file_name_part(const std::string& text, size_t most) {
    std::string out;
    for (const char c : text) {
        if (out.size() >= most) break;
        if (name_char(c))
            out += c;
        else if (out.empty() || out.back() != '_')
            out += '_';
    }
    if (out.empty() || out.front() == '.') out.insert(out.begin(), '_');
    return out;
}

int create_exclusive(const std::string& path) {
    // O_EXCL refuses any existing name, a dangling symlink included;
    // O_NOFOLLOW says the same for the last component in case a system
    // treats O_EXCL differently.
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int create_trace_file(const std::string& directory, const std::string& base, std::string* path) {
    for (int n = 1; n <= kMostSuffixes; ++n) {
        std::string candidate = directory + "/" + base;
        if (n > 1) candidate.append("-").append(std::to_string(n));  // gcc 12 misjudges "-" + string
        candidate += ".trace";
        const int fd = create_exclusive(candidate);
        if (fd >= 0) {
            *path = std::move(candidate);
            return fd;
        }
        if (errno != EEXIST && errno != ELOOP) return -1;
    }
    errno = EEXIST;
    return -1;
}

bool TraceOutput::attach(int fd, std::string path) {
    close();
    buffer_ = static_cast<char*>(malloc(kBufferSize));
    if (buffer_ == nullptr) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    used_ = 0;
    failed_ = false;
    path_ = std::move(path);
    return true;
}

void TraceOutput::put(const char* text, size_t size) {
    while (size > 0) {
        const size_t piece = size < kBufferSize ? size : kBufferSize;
        char* room = reserve(piece);
        if (room == nullptr) return;
        memcpy(room, text, piece);
        commit(piece);
        text += piece;
        size -= piece;
    }
}

void TraceOutput::put(const char* text) { put(text, strlen(text)); }

bool TraceOutput::flush() {
    if (failed_ || fd_ < 0) return false;
    size_t done = 0;
    while (done < used_) {
        const ssize_t n = write(fd_, buffer_ + done, used_ - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int code = errno;
            DBG_WARN("Wire trace %s: cannot be written (%s); tracing stops here\n", path_.c_str(),
                     n < 0 ? strerror(code) : "nothing written");
            failed_ = true;
            used_ = 0;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    used_ = 0;
    return true;
}

void TraceOutput::close() {
    if (fd_ >= 0) {
        flush();
        ::close(fd_);
        fd_ = -1;
    }
    free(buffer_);
    buffer_ = nullptr;
    used_ = 0;
}

}  // namespace wire_trace
