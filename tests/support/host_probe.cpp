#include "tests/support/host_probe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

HostFacts probe_host(const TempDir& dir, const std::string& exe_name, const std::vector<std::string>& env,
                     const std::string& catalogue) {
    const std::string exe = dir.file(exe_name);
    std::filesystem::copy_file(ORVELA_BINARY_DIR "/tests/host/host_probe", exe,
                               std::filesystem::copy_options::overwrite_existing);
    std::vector<std::string> argv = {exe, ORVELA_LIBRARY_PATH};
    if (!catalogue.empty()) argv.push_back(catalogue);
    const ProcessResult r = run_process(argv, env);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    HostFacts facts;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) facts[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return facts;
}

std::vector<std::string> message_locale_env(const char* language) {
    std::vector<std::string> env = {"LOCPATH=" ORVELA_TEST_LOCPATH, "LANG=en_US.UTF-8", "LC_ALL=en_US.UTF-8"};
    if (*language != '\0') env.push_back(std::string("LANGUAGE=") + language);
    return env;
}
