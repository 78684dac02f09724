// runVelkaran: starts the agent's entry program with the agent password and waits for it.
//
// The command runs through the shell; its status is not examined and the exit status is always 0.
// Nothing is read from the command line, standard input or the environment, and nothing is
// printed: the agent's entry inherits the standard streams.

#include <cstdlib>
#include <cstring>

#include "velkaran_paths.h"

// The agent password, handed to the agent's entry as its one argument.
const char password[] = "580";
static_assert(sizeof password == 4, "the agent password is three digits and its terminator");

namespace {

constexpr std::size_t command_size = 531;
constexpr char command_prefix[] = VELKARAN_DATA_DIR "/Velkaran ";
static_assert(sizeof command_prefix - 1 + sizeof password <= command_size,
              "the installation root is too long for the command buffer");

} // namespace

int main() {
    char command[command_size];
    command[command_size - 1] = '\0';
    std::strncpy(command, command_prefix, command_size - 1);
    std::strncat(command, password, command_size - 1 - std::strlen(command));
    // As system(3) waits, it ignores interrupt and quit, so Ctrl-C ends the agent's entry and this
    // program goes on to exit. The status is deliberately not examined.
    [[maybe_unused]] const int status =
        std::system(command); // NOLINT(cert-env33-c): the agent is started through the shell
    return 0;
}
