// Parts of a test that run in a child process with a namespace of its own, so
// that their traffic or files stay private. `body` returns 0, or a code of
// its own for the first check that failed: the test fails with that code. The
// test is skipped where no such namespace can be made (it needs root).
#pragma once

#include <functional>

// A network namespace holding only a loopback interface, up.
void expect_in_private_network(const std::function<int()>& body);
// A mount namespace with a tmpfs of 4 MiB over /tmp.
void expect_in_private_tmp(const std::function<int()>& body);
