// Velkaran: the agent's entry program. Starts the update program and waits for it.
//
// The command runs through the shell; its status is not examined and the exit status is always 0.
// Arguments (the agent password among them), standard input and the environment are not read, and
// nothing is printed: the update program inherits the standard streams.

#include <cstdlib>

#include "velkaran_paths.h"

namespace {

constexpr char update_command[] = VELKARAN_DATA_DIR "/vornek/quandrel/dist/quandrel";

} // namespace

int main() {
    // As system(3) waits, it ignores interrupt and quit, so Ctrl-C ends the update program and
    // this program goes on to exit. The status is deliberately not examined.
    [[maybe_unused]] const int status =
        std::system(update_command); // NOLINT(cert-env33-c): the shell starts the update program
    return 0;
}
