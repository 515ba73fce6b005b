#include "test_support.h"

#include <sys/wait.h>

#include <cstdlib>

namespace certdesk::testing {

int RunTool(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace certdesk::testing
