// The simulator program, orvela-scanner-sim, run by a test with its standard
// output and error in a pipe: the first line it prints (which names the port
// it serves, after its last colon), its exit status, and its end with the
// object (SIGTERM) if it still runs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

struct SimProgram {
    pid_t pid = -1;
    int out = -1;
    std::string first_line;

    explicit SimProgram(std::vector<std::string> args) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(p[1], 1);
            dup2(p[1], 2);
            std::vector<char*> argv{const_cast<char*>(ORVELA_SIM_BINARY)};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(ORVELA_SIM_BINARY, argv.data());
            _exit(127);
        }
        close(p[1]);
        out = p[0];
        char ch;
        pollfd pf{out, POLLIN, 0};
        while (first_line.find('\n') == std::string::npos && poll(&pf, 1, 5000) > 0 && read(out, &ch, 1) == 1)
            first_line += ch;
    }
    ~SimProgram() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
    }
    SimProgram(const SimProgram&) = delete;
    SimProgram& operator=(const SimProgram&) = delete;

    // The port the first line names; 0 when it names none.
    uint16_t port() const {
        const size_t colon = first_line.rfind(':');
        return colon == std::string::npos ? 0 : static_cast<uint16_t>(atoi(first_line.c_str() + colon + 1));
    }
    // Waits for the end: the exit code, or -1 after a signal.
    int wait_exit() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};
