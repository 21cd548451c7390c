// Starting the programs a test runs beside itself (nats-server, the reference services): stdin
// from /dev/null, stdout and stderr appended to a file, killed with the test process if that
// dies first.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qztest {

// Forks and execs args[0] (searched in PATH when it has no slash) with args. The child's PID, or
// -1 with the reason in *why when the output file cannot be opened or fork fails.
pid_t spawn_child(std::vector<std::string> args, const std::string& output_file,
                  std::string* why);

}  // namespace qztest
