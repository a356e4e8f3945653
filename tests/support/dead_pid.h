// A process id that no process holds: the id of a child that has ended and
// been reaped, for tests of what the tool leaves to processes that are gone.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {

inline pid_t DeadPid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

}  // namespace test_support
