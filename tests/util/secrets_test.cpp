// The care of passwords: a process that has turned core files off has both of its limits at 0,
// whatever they were before.
#include "util/secrets.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(Secrets, CoreFilesAreOffSoftAndHard) {
  // In a child, so that this process keeps its own limits.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // As high as an unprivileged process may set it.
    rlimit now{};
    getrlimit(RLIMIT_CORE, &now);
    now.rlim_cur = now.rlim_max;
    const bool off = setrlimit(RLIMIT_CORE, &now) == 0 && DisableCoreFiles() &&
                     getrlimit(RLIMIT_CORE, &now) == 0 && now.rlim_cur == 0 && now.rlim_max == 0;
    _exit(off ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
